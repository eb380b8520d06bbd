"""The manifest a `qvc` package carries beside the four entries every reader knows.

It records what restoring a tree exactly needs and the package's own four entries cannot say:
each file's path in the tree, mode, modification time, size, line ends and SHA-256 digest of its
original bytes; the directories; the symlinks with their targets.

Where it lives. The package stays one pickle stream whose dict gains a fifth entry, which every
reader ignores. `encode_files` ends its stream with the STOP opcode; the manifest replaces that
byte with the opcodes of one more entry, none of which touches the stream's memo:

    8c 0c "qvc_manifest"          the key
    8e <n: 8 bytes> <payload>     the manifest itself, a byte string of n bytes
    8a 08 <n: 8 bytes>            n again, as a fixed-width integer
    86 73 2e                      pair the two, set the entry, STOP

so the last 13 bytes of a package lead to its manifest without reading anything else. The
payload is a pickle of plain lists, tuples, ints and byte strings, read with the same restricted
unpickling and size checks as a package, then validated entry by entry: it comes from a file
anyone may have written. The payload ends with the SHA-256 of what precedes it, so that damage to
a path, a mode or a digest is found as surely as damage to a file's content.
"""

from __future__ import annotations

import hashlib
import mmap
import os
import pickle
from dataclasses import dataclass

from qvc_cli.line_ends import LineEnds, is_valid_record
from qvc_cli.package_reader import PackageError, restricted_loads

FORMAT_VERSION = 1
KEY = "qvc_manifest"
DIGEST_SIZE = 32  # SHA-256

_KEY_OPCODES = b"\x8c" + bytes([len(KEY)]) + KEY.encode("ascii")
_PAYLOAD_OPCODE = b"\x8e"  # BINBYTES8
_LENGTH_OPCODE = b"\x8a\x08"  # LONG1 of 8 bytes
_END_OPCODES = b"\x86s."  # TUPLE2, SETITEM, STOP
TAIL_SIZE = len(_LENGTH_OPCODE) + 8 + len(_END_OPCODES)
_HEAD_SIZE = len(_KEY_OPCODES) + len(_PAYLOAD_OPCODE) + 8
_MAX_MTIME = 2**63


@dataclass(frozen=True)
class FileEntry:
    path: bytes
    mode: int
    mtime_ns: int
    size: int
    digest: bytes
    line_ends: LineEnds | None
    package_name: bytes | None  # the file's name among the package's own four entries,
    # when it is not the path's last component (base names that clash are made unique)

    @property
    def name_in_package(self) -> str:
        return os.fsdecode(self.package_name or self.path.rsplit(b"/", 1)[-1])


@dataclass(frozen=True)
class DirectoryEntry:
    path: bytes
    mode: int
    mtime_ns: int


@dataclass(frozen=True)
class LinkEntry:
    path: bytes
    mtime_ns: int
    target: bytes


Entry = FileEntry | DirectoryEntry | LinkEntry


def _row(entry: Entry) -> tuple:
    if isinstance(entry, FileEntry):
        return ("f", entry.path, entry.mode, entry.mtime_ns, entry.size, entry.digest, entry.line_ends,
                entry.package_name)
    if isinstance(entry, DirectoryEntry):
        return ("d", entry.path, entry.mode, entry.mtime_ns)
    return ("l", entry.path, entry.mtime_ns, entry.target)


class _Damaged(Exception):
    pass


def _require(condition: bool, what: str) -> None:
    if not condition:
        raise _Damaged(what)


def _is_int(value: object, low: int, high: int) -> bool:
    return type(value) is int and low <= value < high


def _entry(row: object) -> Entry:
    _require(type(row) is tuple and len(row) >= 1, "an entry is not a tuple")
    kind, fields = row[0], row[1:]
    if kind == "f" and len(fields) == 7:
        path, mode, mtime, size, digest, line_ends, package_name = fields
        _require(_is_int(size, 0, 2**63), "a file size is not a size")
        _require(type(digest) is bytes and len(digest) == DIGEST_SIZE, "a digest is not SHA-256")
        _require(line_ends is None or is_valid_record(line_ends), "a line-end record is malformed")
        _require(package_name is None or len(path_components(package_name)) == 1,
                 "a name in the package is not one path component")
        entry: Entry = FileEntry(path, mode, mtime, size, digest, line_ends, package_name)
    elif kind == "d" and len(fields) == 3:
        entry = DirectoryEntry(*fields)
    elif kind == "l" and len(fields) == 3:
        path, mtime, target = fields
        _require(type(target) is bytes and target and b"\0" not in target, "a link target is malformed")
        entry = LinkEntry(path, mtime, target)
    else:
        raise _Damaged(f"an entry of unknown kind {kind!r}")
    _require(_is_int(entry.mtime_ns, -_MAX_MTIME, _MAX_MTIME), "a modification time is out of range")
    if not isinstance(entry, LinkEntry):
        _require(_is_int(entry.mode, 0, 0o10000), "a mode is out of range")
    return entry


def path_components(path: object) -> list[bytes]:
    """The components of a stored path; raises _Damaged for anything that could leave the
    directory it is restored into or name it ambiguously: an absolute path, `..`, `.`, an empty
    component (`a//b`, a trailing slash) or a NUL."""
    _require(type(path) is bytes and len(path) > 0, "a path is not a byte string")
    components = path.split(b"/")
    for component in components:
        if component in (b"", b".", b"..") or b"\0" in component:
            raise _Damaged(f"unsafe path {os.fsdecode(path)!r}")
    return components


def _check_tree(entries: list[Entry]) -> None:
    """Every path once, and none below a file or a link: a stored link `a -> /etc` followed by a
    file `a/passwd` would otherwise write outside the target."""
    kinds: dict[bytes, type] = {}
    for entry in entries:
        path_components(entry.path)
        _require(entry.path not in kinds, f"path {os.fsdecode(entry.path)!r} is stored twice")
        kinds[entry.path] = type(entry)
    for entry in entries:
        components = entry.path.split(b"/")
        for depth in range(1, len(components)):
            above = kinds.get(b"/".join(components[:depth]))
            _require(above in (None, DirectoryEntry),
                     f"path {os.fsdecode(entry.path)!r} lies below a file or a link")


@dataclass
class Manifest:
    entries: list[Entry]

    @property
    def files(self) -> list[FileEntry]:
        return [entry for entry in self.entries if isinstance(entry, FileEntry)]

    def payload(self) -> bytes:
        content = {"version": FORMAT_VERSION, "entries": [_row(entry) for entry in self.entries]}
        pickled = pickle.dumps(content, protocol=4)
        return pickled + hashlib.sha256(pickled).digest()

    @classmethod
    def from_payload(cls, payload: bytes) -> Manifest:
        pickled, digest = payload[:-DIGEST_SIZE], payload[-DIGEST_SIZE:]
        if len(payload) <= DIGEST_SIZE or hashlib.sha256(pickled).digest() != digest:
            raise PackageError("damaged manifest: it does not match its digest")
        content = restricted_loads(pickled, "manifest", whole=True)
        try:
            _require(type(content) is dict, "not a dict")
            version = content.get("version")
            _require(type(version) is int, "no version")
            if version > FORMAT_VERSION:
                raise PackageError(f"its manifest has version {version}, newer than this qvc "
                                   f"reads ({FORMAT_VERSION}): a newer qvc unpacks it")
            _require(version >= 1, f"version {version}")
            rows = content.get("entries")
            _require(type(rows) is list, "no entry list")
            entries = [_entry(row) for row in rows]
            _check_tree(entries)
        except _Damaged as problem:
            raise PackageError(f"damaged manifest: {problem}") from None
        return cls(entries)


def append_to_package(package_path: str, payload: bytes) -> None:
    """Turns the complete package at `package_path` into one carrying `payload`, and flushes it
    to the disk."""
    length = len(payload).to_bytes(8, "little")
    with open(package_path, "r+b") as f:
        f.seek(-1, os.SEEK_END)
        if f.read(1) != b".":
            raise PackageError(f"{package_path}: the package does not end its pickle stream")
        f.seek(-1, os.SEEK_END)
        f.write(b"".join([_KEY_OPCODES, _PAYLOAD_OPCODE, length, payload,
                          _LENGTH_OPCODE, length, _END_OPCODES]))
        f.flush()
        os.fsync(f.fileno())


def read_from_package(package_path: str) -> Manifest | None:
    """The manifest of a package, or None when it has none (written by the library itself or
    another implementation). A damaged manifest raises PackageError: a package that lost its
    manifest to damage must not pass for one that never had it."""
    with open(package_path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        if size >= TAIL_SIZE + _HEAD_SIZE:
            f.seek(size - TAIL_SIZE)
            tail = f.read(TAIL_SIZE)
            if tail.startswith(_LENGTH_OPCODE) and tail.endswith(_END_OPCODES):
                length = int.from_bytes(tail[2:10], "little")
                start = size - TAIL_SIZE - length - _HEAD_SIZE
                if start < 0:
                    raise PackageError("damaged manifest: its length exceeds the package")
                f.seek(start)
                head = f.read(_HEAD_SIZE)
                if head != _KEY_OPCODES + _PAYLOAD_OPCODE + tail[2:10]:
                    raise PackageError("damaged manifest: its header does not match its end")
                return Manifest.from_payload(f.read(length))
        if _has_manifest_key(f, size):
            raise PackageError("damaged manifest: its end is not where the package ends")
    return None


def _has_manifest_key(f, size: int) -> bool:
    """Whether the manifest's key with its payload opcode appears anywhere: a vocabulary token
    cannot produce those bytes (the key's length byte is a form feed, which ends a token, and
    the pickler memoizes every token right after it)."""
    if size == 0:
        return False
    with mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as view:
        return view.rfind(_KEY_OPCODES + _PAYLOAD_OPCODE) >= 0
