"""Work done in a forked copy of this process, beside the compressor.

The compressor holds the interpreter's lock for the whole of `encode_files` and
`decode_package`. A thread of this process that hashes files meanwhile can only run when the
compressor lets go of the lock for a moment, and then takes turns with it: measured, that slowed
unpacking by a quarter. A forked copy has an interpreter of its own and runs on the other
processor undisturbed; it hands its result back through a pipe.
"""

from __future__ import annotations

import os
import pickle
import select
import signal
from collections.abc import Callable
from typing import Any


class SideProcess:
    """Runs `work(parent_done)` in a forked child. `parent_done(timeout)` tells the child
    whether the parent has called `parent_finished` yet, waiting up to `timeout` seconds."""

    def __init__(self, work: Callable[[Callable[[float], bool]], Any]) -> None:
        self._work = work
        self._pid = 0
        self._result_fd = -1
        self._done_fd = -1

    def start(self) -> None:
        result_read, result_write = os.pipe()
        done_read, done_write = os.pipe()
        pid = os.fork()
        if pid == 0:  # the child: never returns
            os.close(result_read)
            os.close(done_write)
            self._run_child(result_write, done_read)
        os.close(result_write)
        os.close(done_read)
        self._pid, self._result_fd, self._done_fd = pid, result_read, done_write

    def _run_child(self, result_fd: int, done_fd: int) -> None:
        status = 1
        try:
            # Ctrl-C reaches the whole process group: the child just ends, the parent cleans up.
            for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
                signal.signal(signum, signal.SIG_DFL)

            def parent_done(timeout: float) -> bool:
                return bool(select.select([done_fd], [], [], timeout)[0])

            try:
                outcome = ("result", self._work(parent_done))
            except Exception as error:  # handed to the parent, which reports it
                outcome = ("error", error)
            try:
                data = pickle.dumps(outcome)
            except Exception as error:
                data = pickle.dumps(("error", RuntimeError(f"{type(error).__name__}: {error}")))
            view = memoryview(data)
            while view:
                view = view[os.write(result_fd, view):]
            status = 0
        finally:
            os._exit(status)

    def parent_finished(self) -> None:
        """Tells the child that what it waits for is complete."""
        if self._done_fd >= 0:
            os.close(self._done_fd)
            self._done_fd = -1

    def result(self) -> Any:
        """The child's result; its exception if it raised one."""
        self.parent_finished()
        pieces = []
        while piece := os.read(self._result_fd, 1 << 20):
            pieces.append(piece)
        self._reap()
        if not pieces:
            raise RuntimeError("the process checking the files ended without an answer")
        kind, value = pickle.loads(b"".join(pieces))  # from our own child
        if kind == "error":
            raise value
        return value

    def cancel(self) -> None:
        """Ends the child, if it still runs, and frees what it held."""
        if self._pid:
            try:
                os.kill(self._pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        self.parent_finished()
        self._reap()

    def _reap(self) -> None:
        if self._result_fd >= 0:
            os.close(self._result_fd)
            self._result_fd = -1
        if self._pid:
            os.waitpid(self._pid, 0)
            self._pid = 0
