"""Writing under final names only once everything is complete.

Work is done in a private directory (mode 0700, a fresh random name) on the file system it is
meant for, and each finished file is then moved to its final name: a failure or Ctrl-C before
that leaves nothing under a final name, and the private directory is removed on every way out.
Moving is journalled, so a failure part-way through moves everything back.
"""

from __future__ import annotations

import contextlib
import errno
import os
import shutil
import signal
import stat
import tempfile
import threading
from collections.abc import Callable, Iterator

from qvc_cli.transaction import Transaction

_DEFERRED_SIGNALS = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP}

# What this run has put in place for good, in words: a Ctrl-C that arrives afterwards (it waits
# while files are moved) must not be reported as if nothing had been written.
_completed: list[str] = []


def record_completed(what: str) -> None:
    """Called while signals are still deferred, once `what` is in place for good."""
    _completed.append(what)


def completed() -> list[str]:
    return list(_completed)


def forget_completed() -> None:
    """A new run (the command line may run more than once in one process, as in tests)."""
    _completed.clear()


@contextlib.contextmanager
def signals_deferred() -> Iterator[None]:
    """Ctrl-C and termination wait until the block is over: moving files into place and
    cleaning up are never left half done. The handlers are swapped, not the signal mask: a
    signal sent to the process may be taken by any of its threads (the compressor's among them),
    and only the handlers, which run on the main thread whichever thread took it, see them all."""
    if threading.current_thread() is not threading.main_thread():
        yield  # handlers run on the main thread only: nothing interrupts this one
        return
    arrived: list[int] = []

    def hold(signum: int, frame: object) -> None:
        arrived.append(signum)

    previous = {signum: signal.signal(signum, hold) for signum in _DEFERRED_SIGNALS}
    try:
        yield
    finally:
        for signum, handler in previous.items():
            # None: a handler installed outside Python, which cannot be put back from here.
            signal.signal(signum, signal.SIG_DFL if handler is None else handler)
        for signum in dict.fromkeys(arrived):
            signal.raise_signal(signum)


def _terminate(signum: int, frame: object) -> None:
    raise SystemExit(128 + signum)


def exit_cleanly_on_termination() -> None:
    """SIGTERM and SIGHUP unwind like Ctrl-C, through every clean-up on the way."""
    for signum in (signal.SIGTERM, signal.SIGHUP):
        if signal.getsignal(signum) == signal.SIG_DFL:
            signal.signal(signum, _terminate)


@contextlib.contextmanager
def private_directory(parent: str, purpose: str) -> Iterator[str]:
    """A new directory inside `parent` that only this process uses, removed with its contents
    on every way out."""
    path = tempfile.mkdtemp(prefix=f".qvc-{purpose}-", dir=parent)
    try:
        yield path
    finally:
        with signals_deferred():
            shutil.rmtree(path, ignore_errors=True)


@contextlib.contextmanager
def opened_directory(path: str) -> Iterator[int]:
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        yield fd
    finally:
        os.close(fd)


def fsync_file(path: str) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


# Hard links are how a move refuses to replace a name that appeared meanwhile; these say the
# file system has none, and the move falls back to checking first.
_NO_HARD_LINKS = {errno.EPERM, errno.EOPNOTSUPP, errno.EMLINK, errno.ENOSYS}


class Placement:
    """Moves files from a private directory to their final names, recording each step so that
    `undo` can put back everything as it was. Names are taken relative to directory
    descriptors, and a symlink at a final name is replaced, never followed. What a move
    replaces is kept in `backup_fd`, a private directory on the same file system, until the
    caller removes that directory. Each step's undo goes to `transaction` (by default one of
    the placement's own, taken back by `undo`).

    A caller that closes directories as it goes names each final directory by a key (`where`)
    and gives `reopen(key)`, a context manager that opens it again, without following a
    symlink, for as long as one undo takes: a descriptor number may by then name another
    directory."""

    def __init__(self, transaction: Transaction | None = None,
                 reopen: Callable[[bytes], contextlib.AbstractContextManager[int]] | None = None) -> None:
        self._transaction = transaction or Transaction()
        self._reopen = reopen
        self._backups = 0

    def _directory(self, fd: int, where: bytes | None) -> contextlib.AbstractContextManager[int]:
        if where is None or self._reopen is None:
            return contextlib.nullcontext(fd)
        return self._reopen(where)

    def move(self, src_fd: int, src: str, dst_fd: int, dst: str | bytes, *, replace: bool,
             backup_fd: int, where: bytes | None = None) -> None:
        """Moves `src` to `dst`. Without `replace`, an existing `dst` raises FileExistsError,
        even one that appeared a moment ago."""
        if replace:
            backup = self._back_up(dst_fd, dst, backup_fd)
            os.rename(src, dst, src_dir_fd=src_fd, dst_dir_fd=dst_fd)
            self._transaction.on_failure(self._undo_step, ("moved", src_fd, src, dst_fd, dst, backup_fd, backup, where))
            return
        try:
            os.link(src, dst, src_dir_fd=src_fd, dst_dir_fd=dst_fd, follow_symlinks=False)
        except OSError as error:
            if error.errno not in _NO_HARD_LINKS:
                raise
            if _exists(dst_fd, dst):
                raise FileExistsError(errno.EEXIST, os.strerror(errno.EEXIST), dst) from None
            os.rename(src, dst, src_dir_fd=src_fd, dst_dir_fd=dst_fd)
        else:
            os.unlink(src, dir_fd=src_fd)
        self._transaction.on_failure(self._undo_step, ("moved", src_fd, src, dst_fd, dst, backup_fd, None, where))

    def make_directory(self, parent_fd: int, name: str | bytes, *, replace: bool, backup_fd: int,
                       where: bytes | None = None) -> bool:
        """Makes directory `name` unless one is there; a non-directory in the way is replaced
        only with `replace`. Returns whether a new directory was made."""
        try:
            os.mkdir(name, 0o700, dir_fd=parent_fd)
        except FileExistsError:
            if _is_directory(parent_fd, name):
                return False
            if not replace:
                raise
            backup = self._back_up(parent_fd, name, backup_fd, by_rename=True)
            os.mkdir(name, 0o700, dir_fd=parent_fd)
            self._transaction.on_failure(self._undo_step, ("replaced", parent_fd, name, backup_fd, backup, where))
            return True
        self._transaction.on_failure(self._undo_step, ("made", parent_fd, name, where))
        return True

    def _back_up(self, dir_fd: int, name: str | bytes, backup_fd: int, by_rename: bool = False) -> str | None:
        """Keeps what is at `name` aside, so that `undo` can bring it back; None if nothing."""
        if not _exists(dir_fd, name):
            return None
        self._backups += 1
        backup = f"previous-{self._backups}"
        if not by_rename:
            try:
                # A link keeps the old file at its name until the new one replaces it.
                os.link(name, backup, src_dir_fd=dir_fd, dst_dir_fd=backup_fd,
                        follow_symlinks=False)
                return backup
            except OSError as error:
                if error.errno not in _NO_HARD_LINKS:
                    raise
        os.rename(name, backup, src_dir_fd=dir_fd, dst_dir_fd=backup_fd)
        return backup

    def undo(self) -> None:
        """Puts everything back, newest step first; what cannot be undone is left as it is."""
        self._transaction.undo()

    def _undo_step(self, step: tuple) -> None:
        if step[0] == "moved":
            _, src_fd, src, dst_fd, dst, backup_fd, backup, where = step
            with self._directory(dst_fd, where) as dst_fd:
                os.rename(dst, src, src_dir_fd=dst_fd, dst_dir_fd=src_fd)
                if backup is not None:
                    os.rename(backup, dst, src_dir_fd=backup_fd, dst_dir_fd=dst_fd)
        elif step[0] == "made":
            _, parent_fd, name, where = step
            with self._directory(parent_fd, where) as parent_fd:
                os.rmdir(name, dir_fd=parent_fd)
        else:
            _, parent_fd, name, backup_fd, backup, where = step
            with self._directory(parent_fd, where) as parent_fd:
                os.rmdir(name, dir_fd=parent_fd)
                os.rename(backup, name, src_dir_fd=backup_fd, dst_dir_fd=parent_fd)


def _exists(dir_fd: int, name: str | bytes) -> bool:
    try:
        os.stat(name, dir_fd=dir_fd, follow_symlinks=False)
    except FileNotFoundError:
        return False
    return True


def _is_directory(dir_fd: int, name: str | bytes) -> bool:
    try:
        info = os.stat(name, dir_fd=dir_fd, follow_symlinks=False)
    except FileNotFoundError:
        return False
    return stat.S_ISDIR(info.st_mode)
