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

import os
import stat
import sys
from collections.abc import Iterator
from contextlib import contextmanager

import filelock

from qvc_cli.failures import Failure
from qvc_cli.file_kinds import check_dictionary_head, read_head


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
    check_dictionary_head(path, read_head(path, path))


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
