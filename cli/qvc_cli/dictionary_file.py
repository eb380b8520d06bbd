"""`qvc pack --dict FILE`: telling a dictionary file from anything else, and keeping it whole.

The library loads any pickled dict as a dictionary file and reads a missing "dict" entry as an
empty vocabulary, so a package given by mistake would load as nothing and then be replaced by
a dictionary. The file is recognised by its first key before anything else happens.

Concurrent runs on one dictionary each load it, grow it and save it; without a lock the later
save drops what the earlier one added, and both hand out the same new ids. A run holds an
exclusive lock on `FILE.lock` from loading to saving (the dictionary itself is replaced by a
rename on saving, so it cannot carry the lock). The lock file stays beside the dictionary: a
waiter must find the very file the holder locked.
"""

from __future__ import annotations

import io
import os
import pickletools
import stat
import sys
from collections.abc import Iterator
from contextlib import contextmanager

import filelock

from qvc_cli.failures import Failure

_KEYS = {"dict", "next_id"}
_HEAD_BYTES = 1 << 16
_STRINGS = {"UNICODE", "BINUNICODE", "SHORT_BINUNICODE", "BINUNICODE8",
            "STRING", "BINSTRING", "SHORT_BINSTRING"}
_BEFORE_CONTENT = {"PROTO", "FRAME", "MARK", "PUT", "BINPUT", "LONG_BINPUT", "MEMOIZE"}


def _first_key(head: bytes) -> str | None:
    """The first key of the dict a pickle stream begins with; None for an empty dict. Raises
    ValueError when the stream does not begin with a dict."""
    opened = False
    for opcode, argument, _ in pickletools.genops(io.BytesIO(head)):
        if opcode.name in _BEFORE_CONTENT:
            continue
        if not opened:
            if opcode.name not in ("EMPTY_DICT", "DICT"):
                raise ValueError("it does not hold a dict")
            opened = True
        elif opcode.name in _STRINGS:
            return str(argument)
        elif opcode.name == "STOP":
            return None
        else:
            raise ValueError("its dict has a key that is not a string")
    raise ValueError("it ends early")


def check_dictionary_file(path: str) -> None:
    """Accepts a dictionary file or a missing path; refuses anything else, naming it."""
    try:
        info = os.stat(path)
    except FileNotFoundError:
        return
    except OSError as error:
        raise Failure(f"{path}: {error.strerror}") from None
    if not stat.S_ISREG(info.st_mode):
        raise Failure(f"{path}: not a dictionary file (not a regular file)")
    with open(path, "rb") as f:
        head = f.read(_HEAD_BYTES)
    try:
        key = _first_key(head)
    except ValueError as problem:
        raise Failure(f"{path}: not a dictionary file ({problem})") from None
    if key == "compressed":
        raise Failure(f"{path}: not a dictionary file (it is a qvc package)")
    if key is not None and key not in _KEYS:
        raise Failure(f"{path}: not a dictionary file (it holds {key!r})")


@contextmanager
def dictionary_locked(path: str) -> Iterator[None]:
    """Holds the dictionary's lock for the block, waiting for another run that holds it."""
    lock = filelock.FileLock(path + ".lock")
    try:
        lock.acquire(timeout=0)
    except filelock.Timeout:
        print(f"qvc pack: waiting for another run using {path}", file=sys.stderr, flush=True)
        lock.acquire()
    try:
        yield
    finally:
        lock.release()
