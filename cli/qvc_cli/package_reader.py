"""Reading a package's contents without restoring it, as safely as the decoder reads one.

A package is a pickle of a plain dict; the unpickler here resolves no global except the two that
byte strings of old pickle protocols need, and those only for byte strings, so an untrusted
package cannot run code. Before anything is unpickled, every opcode is walked to check that no
length or memo index it declares reaches beyond the stream: the unpickler would otherwise
reserve (and for memo indices, clear) memory of that size up front. The stream's size is taken
from the frame header: nothing is decompressed.
"""

from __future__ import annotations

import io
import pickle
import pickletools
from dataclasses import dataclass

import zstandard

# The largest token stream a package may hold: 2^29 records of 4 bytes.
MAX_STREAM_BYTES = 2**31


class PackageError(Exception):
    """The file is not a package this tool can describe."""


def _encode_latin1(text, encoding):
    if type(text) is str and encoding in ("latin1", "latin-1"):
        return text.encode("latin-1")
    raise pickle.UnpicklingError("_codecs.encode is only allowed to rebuild a byte string")


def _bytes(*args):
    if not args:
        return b""
    if len(args) == 1 and type(args[0]) is bytes:
        return args[0]
    raise pickle.UnpicklingError("bytes is only allowed to rebuild a byte string")


class _PackageUnpickler(pickle.Unpickler):
    def find_class(self, module: str, name: str):
        if (module, name) == ("_codecs", "encode"):
            return _encode_latin1
        if module in ("builtins", "__builtin__") and name == "bytes":
            return _bytes
        raise pickle.UnpicklingError(f"global '{module}.{name}' is forbidden in a package")


@dataclass
class PackageSummary:
    filenames: list
    token_counts: list[int]
    vocabulary_size: int
    compressed_size: int
    stream_size: int | None  # None when the frame does not say


def _token_counts(boundaries: list) -> list[int]:
    counts, start = [], 0
    for boundary in boundaries:
        if type(boundary) is not int:
            raise PackageError(f"file boundary {boundary!r} is not an integer")
        counts.append(max(boundary - start, 0))
        start = boundary
    return counts


_MEMO_PUTS = {"PUT", "BINPUT", "LONG_BINPUT"}


def _check_declared_sizes(data: bytes) -> None:
    """Walks the opcodes without building anything: a length beyond the stream ends the walk
    with ValueError, and a pickler numbers memo entries from 0, one byte at least apiece."""
    for opcode, argument, _ in pickletools.genops(data):
        if opcode.name in _MEMO_PUTS and int(argument) >= len(data):
            raise ValueError(f"memo index {argument} out of range for a stream of this size")


def restricted_loads(data: bytes, what: str = "package", whole: bool = False):
    """The object pickled in `data`, unpickled as safely as a package: no global beyond those
    byte strings need, no declared size beyond the data. With `whole`, nothing may follow."""
    stream = io.BytesIO(data)
    try:
        _check_declared_sizes(data)
        value = _PackageUnpickler(stream).load()
    except UnicodeDecodeError:  # an old pickle's byte string where text belongs
        raise PackageError(f"not a {what}: it holds bytes that are not text where text belongs") from None
    except (pickle.UnpicklingError, EOFError, ValueError, TypeError, IndexError, KeyError) as error:
        raise PackageError(f"not a {what}: {error}") from None
    if whole and stream.tell() != len(data):
        raise PackageError(f"not a {what}: data follows its end")
    return value


def read_package(path: str) -> PackageSummary:
    with open(path, "rb") as f:
        data = f.read()
    package = restricted_loads(data)
    if type(package) is not dict:
        raise PackageError(f"not a package: holds a {type(package).__name__}, not a dict")
    for key in ("compressed", "file_boundaries", "filenames"):
        if key not in package:
            raise PackageError(f"not a package: no {key!r} entry")
    compressed = package["compressed"]
    if not isinstance(compressed, (bytes, bytearray)):
        raise PackageError("not a package: 'compressed' is not a byte string")
    boundaries, names = package["file_boundaries"], package["filenames"]
    if type(boundaries) is not list or type(names) is not list:
        raise PackageError("not a package: boundaries and names must be lists")
    try:
        content_size = zstandard.frame_content_size(bytes(compressed))
    except zstandard.ZstdError as error:
        raise PackageError(f"not a package: {error}") from None
    vocabulary = package.get("global_dict", {})
    return PackageSummary(
        filenames=names[: len(boundaries)],
        token_counts=_token_counts(boundaries)[: len(names)],
        vocabulary_size=len(vocabulary) if isinstance(vocabulary, dict) else 0,
        compressed_size=len(compressed),
        stream_size=None if content_size < 0 else content_size,
    )
