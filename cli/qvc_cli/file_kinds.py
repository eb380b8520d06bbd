"""Telling a qvc package, a dictionary file and anything else apart, from the first bytes.

Both kinds of file are pickles of a dict, told apart by the dict's first key. Every subcommand
that is handed a file of the wrong kind says so through `not_a_package` or `not_a_dictionary`,
so that one file gets one message whichever subcommand met it.
"""

from __future__ import annotations

import os
import stat

from qvc_cli.failures import Failure
from qvc_cli.package_format import PACKAGE_KEYS, NotADict, first_key

HEAD_BYTES = 1 << 16

DICTIONARY_KEYS = frozenset({"dict", "next_id"})

# What a file is, as far as its head tells.
PACKAGE, DICTIONARY, EMPTY_DICT = "package", "dictionary", "empty dict"


def _unpickled_kind(head: bytes) -> str:
    """What a file that is no pickle of a dict looks like, in words."""
    if not head:
        return "it is empty"
    sample = head[:4096]
    try:
        text = sample.decode("utf-8")
    except UnicodeDecodeError as error:
        text = sample[:error.start].decode("utf-8") if error.start > len(sample) - 4 else None
    if text is not None and "\0" not in text:
        return "it is a text file"
    if head[:1] == b"\x80":
        return "it is a pickle of something else"
    return "its contents are not recognised"


def kind_of(head: bytes) -> str:
    """PACKAGE, DICTIONARY or EMPTY_DICT by the head of a file; ValueError saying what else it is."""
    try:
        key = first_key(head)
    except NotADict:
        raise ValueError(_unpickled_kind(head)) from None
    if key is None:
        return EMPTY_DICT
    if key in PACKAGE_KEYS:
        return PACKAGE
    if key in DICTIONARY_KEYS:
        return DICTIONARY
    raise ValueError(f"it holds a dict whose first key is {key!r}")


def read_head(path: str, shown: str) -> bytes:
    """The first bytes of a regular file; Failure naming `shown` for anything else."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC | os.O_NONBLOCK)
    except FileNotFoundError:
        raise Failure(f"{shown}: no such file") from None
    except OSError as error:
        raise Failure(f"{shown}: {error.strerror}") from None
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise Failure(f"{shown}: not a regular file")
        return os.read(fd, HEAD_BYTES)
    finally:
        os.close(fd)


def not_a_package(shown: str, why: str) -> Failure:
    return Failure(f"{shown}: not a qvc package ({why})")


def _resembles_package(head: bytes) -> bool:
    """Whether the file begins as a package does, with a pickle's PROTO opcode and the name of
    a package's first entry: one damaged byte leaves one of each as written (of the name, one of
    two parts that share no byte)."""
    start = head[:32]
    return (start[:1] == b"\x80" or start[1:2] == b"\x04") and (b"\ncom" in start or b"ressed" in start)


def require_package(path: str, shown: str | None = None) -> None:
    """Refuses, naming the file, anything that does not begin like a package; a file that
    begins nearly like one is a damaged package."""
    shown = shown or path
    head = read_head(path, shown)
    try:
        kind = kind_of(head)
    except ValueError as problem:
        if _resembles_package(head):
            raise Failure(f"{shown}: damaged qvc package ({problem})") from None
        raise not_a_package(shown, str(problem)) from None
    if kind == DICTIONARY:
        raise not_a_package(shown, "it is a dictionary file")
    if kind == EMPTY_DICT:
        raise not_a_package(shown, "it holds an empty dict")


def check_dictionary_head(path: str, head: bytes) -> None:
    """Accepts the head of a dictionary file (an empty dict included, which the library reads
    as an empty vocabulary); refuses anything else, naming it."""
    try:
        kind = kind_of(head)
    except ValueError as problem:
        raise Failure(f"{path}: not a dictionary file ({problem})") from None
    if kind == PACKAGE:
        raise Failure(f"{path}: not a dictionary file (it is a qvc package)")
