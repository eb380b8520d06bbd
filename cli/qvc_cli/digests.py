"""SHA-256 digests of the files to pack, with their sizes and line ends, read once each."""

from __future__ import annotations

import codecs
import errno
import hashlib
import os
import stat
from typing import NamedTuple

from qvc_cli import line_ends
from qvc_cli.line_ends import LineEndRecorder, LineEnds

# Files up to this size are read in one piece; larger ones in pieces of PIECE_SIZE.
WHOLE_READ_LIMIT = 16 << 20
PIECE_SIZE = 1 << 20


class Fingerprint(NamedTuple):
    digest: bytes
    size: int
    line_ends: LineEnds | None
    identity: tuple[int, int]  # (st_dev, st_ino) of the file read


def fingerprint_file(path: str) -> Fingerprint:
    """The digest, size and line-end record of the file at `path`, read once."""
    # Non-blocking: a FIFO put where a file was must not hang the run (regular files ignore it).
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC | os.O_NONBLOCK)
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise OSError(errno.EINVAL, "no longer a regular file", path)
        identity = (info.st_dev, info.st_ino)
        if info.st_size <= WHOLE_READ_LIMIT:
            data = read_all(fd, info.st_size)
            return Fingerprint(hashlib.sha256(data).digest(), len(data), _line_ends(data), identity)
        hasher, recorder, size = hashlib.sha256(), LineEndRecorder(), 0
        text: codecs.IncrementalDecoder | None = None
        while piece := os.read(fd, PIECE_SIZE):
            hasher.update(piece)
            size += len(piece)
            if recorder is not None and (text is not None or b"\r" in piece):
                text = text or codecs.getincrementaldecoder("utf-8")()
                try:
                    text.decode(piece)
                except UnicodeDecodeError:
                    recorder = None
            if recorder is not None:
                recorder.feed(piece)
        return Fingerprint(hasher.digest(), size, recorder.finish() if recorder else None, identity)
    finally:
        os.close(fd)


def _line_ends(data: bytes) -> LineEnds | None:
    """The line-end record of a text; none for a file that is not UTF-8 text, which is never
    packed (recording every CR byte of a binary file would cost more than all the rest)."""
    if b"\r" not in data:
        return None
    try:
        data.decode("utf-8")
    except UnicodeDecodeError:
        return None
    return line_ends.record_of(data)


# The most one read returns on Linux.
_LARGEST_READ = 0x7FFFF000


def read_all(fd: int, expected: int) -> bytes:
    """Everything in `fd`, whose size was `expected` when measured: one read unless the file
    has grown (a short read of a regular file is its end)."""
    data = os.read(fd, expected + 1)
    if len(data) < min(expected + 1, _LARGEST_READ):
        return data
    pieces = [data]
    while piece := os.read(fd, max(PIECE_SIZE, expected + 1 - sum(map(len, pieces)))):
        pieces.append(piece)
    return b"".join(pieces)
