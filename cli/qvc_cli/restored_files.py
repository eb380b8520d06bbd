"""Checking files as the decoder restores them, against what the manifest says they were."""

from __future__ import annotations

import hashlib
import os
import stat
from collections.abc import Callable
from typing import NamedTuple

from qvc_cli import line_ends
from qvc_cli.digests import PIECE_SIZE, WHOLE_READ_LIMIT, read_all
from qvc_cli.line_ends import LineEnds

# Set-user-ID and set-group-ID bits are not restored: a package is no reason to trust a program.
RESTORED_MODE_BITS = 0o1777


class ExpectedFile(NamedTuple):
    name: str  # the file's name in the package, as the decoder writes it
    size: int
    digest: bytes
    line_ends: LineEnds | None
    mode: int
    mtime_ns: int


class ExpectedFiles(NamedTuple):
    """ExpectedFile's fields in columns: quick to hand to another process."""

    names: list[str]
    sizes: list[int]
    digests: list[bytes]
    line_ends: dict[int, LineEnds]  # only for the files that have a record
    modes: list[int]
    mtimes_ns: list[int]

    def file(self, index: int) -> ExpectedFile:
        return ExpectedFile(self.names[index], self.sizes[index], self.digests[index],
                            self.line_ends.get(index), self.modes[index], self.mtimes_ns[index])


def check_restored_files(directory: str, files: ExpectedFiles, apply_metadata: bool,
                         decoder_done: Callable[[float | None], bool]) -> list[int]:
    """The indices of the restored files in `directory` that do not match what is expected.
    Each file is checked as soon as the decoder has moved on to the next one (it writes one file
    at a time, in order); `decoder_done(timeout)` waits up to `timeout` seconds for the decoder
    to finish and tells whether it has. The file's line ends are put back, and with
    `apply_metadata` its mode and modification time."""
    damaged = []
    names = files.names
    written: set[str] = set()
    directory_fd = None
    try:
        for index in range(len(names)):
            if index + 1 == len(names):
                decoder_done(None)
            elif names[index + 1] not in written:
                # Catching up costs one listing; keeping up, one look at the next name.
                written = _names_in(directory)
                following = os.path.join(directory, names[index + 1])
                while names[index + 1] not in written and not decoder_done(0.001):
                    if os.path.lexists(following):
                        break
            if directory_fd is None:
                directory_fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
            if not check_restored_file(directory_fd, names[index], files.file(index), apply_metadata):
                damaged.append(index)
    finally:
        if directory_fd is not None:
            os.close(directory_fd)
    return damaged


def _names_in(directory: str) -> set[str]:
    try:
        return set(os.listdir(directory))
    except FileNotFoundError:  # not made yet
        return set()


def check_restored_file(directory_fd: int, name: str, expected: ExpectedFile, apply_metadata: bool) -> bool:
    try:
        fd = os.open(name, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=directory_fd)
    except OSError:
        return False
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            return False
        if expected.line_ends is None and info.st_size > WHOLE_READ_LIMIT:
            if not _matches_in_pieces(fd, expected):
                return False
        else:
            restored = read_all(fd, info.st_size)
            original = line_ends.restore(restored, expected.line_ends)
            if original is None or len(original) != expected.size:
                return False
            if hashlib.sha256(original).digest() != expected.digest:
                return False
            if original is not restored:
                _rewrite(directory_fd, name, original)
        if apply_metadata:
            mode = expected.mode & RESTORED_MODE_BITS
            if stat.S_IMODE(info.st_mode) != mode:
                os.chmod(fd, mode)
            os.utime(fd, ns=(expected.mtime_ns, expected.mtime_ns))
        return True
    finally:
        os.close(fd)


def _matches_in_pieces(fd: int, expected: ExpectedFile) -> bool:
    hasher, size = hashlib.sha256(), 0
    while piece := os.read(fd, PIECE_SIZE):
        hasher.update(piece)
        size += len(piece)
    return size == expected.size and hasher.digest() == expected.digest


def _rewrite(directory_fd: int, name: str, data: bytes) -> None:
    fd = os.open(name, os.O_WRONLY | os.O_TRUNC | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=directory_fd)
    with open(fd, "wb") as f:
        f.write(data)
