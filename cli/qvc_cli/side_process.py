"""Work done by a second interpreter beside the compressor.

The compressor holds the interpreter's lock for the whole of `decode_package`, so a thread
that checks restored files meanwhile only runs when the compressor lets go of the lock for a
moment, and then takes turns with it (measured: a quarter slower restores). A fresh
interpreter runs undisturbed on the other processor and shares no memory with this one (after
a fork, each page either process writes is copied first); it starts while the compressor reads
the package. (`qvc pack` takes its digests in its own process, after the compressor: measured
side by side, a second process saved it less than 5%.)

A second process only pays where a processor is idle: on a machine already busy it takes its
processor time from the compressor. There the job runs in this process, after the compressor.

The job is handed over in a file (a pipe would block the parent until the child has started);
the parent says it is done by closing the child's standard input, and the child answers on its
standard output. Both ends are this program, so the answer is unpickled as it is.
"""

from __future__ import annotations

import os
import pickle
import select
import signal
import subprocess
import sys
from typing import Any

from qvc_cli.progress import IoCounter, bytes_read

_CHILD = "from qvc_cli.side_process import child_main; child_main()"


def second_processor_free() -> bool:
    """Whether this process may use two processors and the system leaves about one of them
    idle (by its load over the last minute, this process's own included): only then does a
    second process save time."""
    processors = len(os.sched_getaffinity(0))
    return processors >= 2 and os.getloadavg()[0] < processors - 0.5


class InProcess:
    """Runs `job` here, when the result is asked for: the stand-in for a SideProcess where no
    second processor is free, with the same methods."""

    def __init__(self, job: tuple) -> None:
        self._job = job
        self.bytes_read = bytes_read  # what the job has read so far

    def start(self) -> None:
        pass

    def parent_finished(self) -> None:
        pass

    def result(self) -> Any:
        return run_job(self._job, lambda timeout: True)

    def cancel(self) -> None:
        pass


def beside_the_compressor(job: tuple, work: str) -> SideProcess | InProcess:
    """Runs `job` in a second process where a processor is free for it, else here later."""
    return SideProcess(job, work) if second_processor_free() else InProcess(job)


class SideProcess:
    """Runs `job` (see `run_job`) in a new interpreter; the job file goes into `work`."""

    def __init__(self, job: tuple, work: str) -> None:
        self._job_path = os.path.join(work, "side-job")
        with open(self._job_path, "wb") as f:
            pickle.dump(job, f, protocol=pickle.HIGHEST_PROTOCOL)
        self._process: subprocess.Popen | None = None
        self.bytes_read: IoCounter | None = None  # what the child has read so far, once started

    def start(self) -> None:
        self._process = subprocess.Popen(
            # -P: nothing is imported from the current directory.
            [sys.executable, "-P", "-c", _CHILD, self._job_path],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.bytes_read = IoCounter("read", self._process.pid)

    def parent_finished(self) -> None:
        """Tells the child that what it waits for is complete."""
        if self._process is not None and self._process.stdin is not None:
            self._process.stdin.close()

    def result(self) -> Any:
        """The child's result; its exception if it raised one."""
        assert self._process is not None and self._process.stdout is not None
        self.parent_finished()
        answer = self._process.stdout.read()
        self._process.wait()
        if not answer:
            raise RuntimeError(f"the process checking restored files ended without an answer "
                               f"(exit status {self._process.returncode})")
        kind, value = pickle.loads(answer)
        if kind == "error":
            raise value
        return value

    def cancel(self) -> None:
        """Ends the child, if it still runs, and frees what it held."""
        if self._process is None:
            return
        if self._process.poll() is None:
            self._process.kill()
        self.parent_finished()
        self._process.wait()
        if self._process.stdout is not None:
            self._process.stdout.close()


def run_job(job: tuple, parent_done) -> Any:
    kind, arguments = job[0], job[1:]
    if kind == "check":
        from qvc_cli.restored_files import check_restored_files

        return check_restored_files(*arguments, parent_done)
    raise ValueError(f"unknown job {kind!r}")


def child_main() -> None:
    # Ctrl-C reaches the whole process group: the child just ends, the parent cleans up.
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, signal.SIG_DFL)
    stdin = sys.stdin.fileno()

    def parent_done(timeout: float | None) -> bool:
        return bool(select.select([stdin], [], [], timeout)[0])

    try:
        with open(sys.argv[1], "rb") as f:
            job = pickle.load(f)
        outcome = ("result", run_job(job, parent_done))
    except Exception as error:  # handed to the parent, which reports it
        outcome = ("error", error)
    try:
        answer = pickle.dumps(outcome, protocol=pickle.HIGHEST_PROTOCOL)
    except Exception as error:
        answer = pickle.dumps(("error", RuntimeError(f"{type(error).__name__}: {error}")))
    sys.stdout.buffer.write(answer)
    sys.stdout.buffer.flush()
