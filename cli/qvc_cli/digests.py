"""SHA-256 digests of the files to pack, with their sizes and line ends, read once each."""

from __future__ import annotations

import hashlib
import os
from dataclasses import dataclass

from qvc_cli import line_ends
from qvc_cli.line_ends import LineEnds, LineEndRecorder

# Files up to this size are read in one piece; larger ones in pieces of PIECE_SIZE.
WHOLE_READ_LIMIT = 16 << 20
PIECE_SIZE = 1 << 20


@dataclass(frozen=True)
class Fingerprint:
    digest: bytes
    size: int
    line_ends: LineEnds | None
    identity: tuple[int, int]  # (st_dev, st_ino) of the file read


def fingerprint_file(path: str) -> Fingerprint:
    """The digest, size and line-end record of the file at `path`, read once."""
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    try:
        info = os.fstat(fd)
        identity = (info.st_dev, info.st_ino)
        if info.st_size <= WHOLE_READ_LIMIT:
            data = _read_all(fd, info.st_size)
            return Fingerprint(hashlib.sha256(data).digest(), len(data), line_ends.record_of(data), identity)
        hasher, recorder, size = hashlib.sha256(), LineEndRecorder(), 0
        while piece := os.read(fd, PIECE_SIZE):
            hasher.update(piece)
            recorder.feed(piece)
            size += len(piece)
        return Fingerprint(hasher.digest(), size, recorder.finish(), identity)
    finally:
        os.close(fd)


def _read_all(fd: int, expected: int) -> bytes:
    """Everything in `fd`: one read when the file has not grown since it was measured (a short
    read of a regular file is its end)."""
    data = os.read(fd, expected + 1)
    if len(data) <= expected:
        return data
    pieces = [data]
    while piece := os.read(fd, PIECE_SIZE):
        pieces.append(piece)
    return b"".join(pieces)


def fingerprint_files(paths: list[str]) -> list[Fingerprint]:
    return [fingerprint_file(path) for path in paths]
