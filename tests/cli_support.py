"""Driving `qvc` as a user does, and looking at what it left behind."""

from __future__ import annotations

import os
import resource
import signal
import subprocess
import sys
import time
import sysconfig
from pathlib import Path

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "bench"))
from tree_snapshot import snapshot  # noqa: E402, F401  (for the tests)

QVC = [sys.executable, "-m", "qvc_cli"]


def qvc(*args, cwd=None, limit_file_size=None, open_files=None, address_space=None,
        timeout=300) -> subprocess.CompletedProcess:
    """Runs `qvc` with `args`; with `limit_file_size`, no file it writes may grow beyond that
    many bytes, as on a full disk; `open_files` (soft, hard) limits its open files and
    `address_space` its memory."""
    def preexec():
        if address_space is not None:
            resource.setrlimit(resource.RLIMIT_AS, (address_space, address_space))
        if limit_file_size is not None:
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit_file_size, limit_file_size))
        if open_files is not None:
            resource.setrlimit(resource.RLIMIT_NOFILE, open_files)
    return subprocess.run([*QVC, *map(str, args)], capture_output=True, text=True, cwd=cwd,
                          timeout=timeout, preexec_fn=preexec)


def start_qvc(*args, cwd=None) -> subprocess.Popen:
    return subprocess.Popen([*QVC, *map(str, args)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, cwd=cwd)


def assert_one_line_failure(result, status=1) -> str:
    assert result.returncode == status, (result.stdout, result.stderr)
    assert "Traceback" not in result.stderr
    lines = result.stderr.strip().splitlines()
    assert len(lines) == 1, result.stderr
    return lines[0]


def leftovers(directory) -> list[str]:
    """Temporary files and directories a run may have left in `directory`."""
    return [name for name in os.listdir(directory) if name.startswith(".") and
            (name.startswith(".qvc-") or name.endswith(".tmp"))]


def same_files(one: Path, other: Path) -> bool:
    """Whether two trees hold the same files with the same contents."""
    def files(root: Path) -> dict[Path, bytes]:
        return {path.relative_to(root): path.read_bytes() for path in root.rglob("*")
                if path.is_file()}
    return files(one) == files(other)


def write_big_tree(directory: Path, size: int = 48_000_000) -> None:
    """Eight files of real source text, `size` bytes in all: enough to keep `qvc` busy for a
    moment."""
    directory.mkdir()
    stdlib = sysconfig.get_paths()["stdlib"]
    texts, total = [], 0
    for name in sorted(os.listdir(stdlib)):
        path = os.path.join(stdlib, name)
        if total > size or not name.endswith(".py") or not os.path.isfile(path):
            continue
        data = Path(path).read_bytes()
        if b"\r" not in data and data.isascii():
            texts.append(data)
            total += len(data)
    whole = b"".join(texts)
    whole *= size // len(whole) + 1
    part = size // 8
    for number in range(8):
        (directory / f"part{number}.py").write_bytes(whole[number * part:(number + 1) * part])


def interrupt_when(process: subprocess.Popen, started, delay: float, signum=signal.SIGINT) -> str:
    """Sends `signum` (Ctrl-C) `delay` seconds after `started()` first holds; returns what the
    process printed on standard error."""
    deadline = time.monotonic() + 120
    while not started() and process.poll() is None:
        assert time.monotonic() < deadline, "the work never started"
        time.sleep(0.01)
    time.sleep(delay)
    process.send_signal(signum)
    _, stderr = process.communicate(timeout=300)
    return stderr


_MEASURED = """
import json, os, subprocess, sys
process = subprocess.Popen(sys.argv[1:], stdout=subprocess.PIPE)
stdout = process.stdout.read()
_, status, usage = os.wait4(process.pid, 0)
print(json.dumps([os.waitstatus_to_exitcode(status), usage.ru_maxrss, stdout.decode("utf-8", "replace")]))
"""


def peak_memory(*args) -> tuple[int, int, str]:
    """Runs `qvc` with `args`: (exit status, peak resident memory in KiB, standard output). It
    is started from a small interpreter of its own: the peak of a process counts what it had
    before exec, and a fork of the test runner would carry the runner's memory."""
    result = subprocess.run([sys.executable, "-c", _MEASURED, *QVC, *map(str, args)],
                            capture_output=True, text=True, timeout=600)
    import json

    return tuple(json.loads(result.stdout))
