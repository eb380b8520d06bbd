"""The manifest a `qvc` package carries beside the four entries every reader knows.

It records what restoring a tree exactly needs and the package's own four entries cannot say:
each file's path in the tree, mode, modification time, size, line ends and SHA-256 digest of its
original bytes; the directories; the symlinks with their targets; the hard links, each with the
stored path of the file whose data it shares.

Where it lives. The package stays one pickle stream whose dict gains a fifth entry, which every
reader ignores. `encode_files` ends its stream with the STOP opcode; the manifest replaces that
byte with the opcodes of one more entry, none of which touches the stream's memo:

    8c 0c "qvc_manifest"          the key
    8e <n: 8 bytes> <payload>     the manifest itself, a byte string of n bytes
    8a 08 <n: 8 bytes>            n again, as a fixed-width integer
    86 73 2e                      pair the two, set the entry, STOP

so the last 13 bytes of a package lead to its manifest without reading anything else. The
payload is a pickle of a dict of byte strings (one column per field), ints and tuples, read with
the same restricted
unpickling and size checks as a package, then validated entry by entry: it comes from a file
anyone may have written. The payload ends with the SHA-256 of what precedes it, so that damage to
a path, a mode or a digest is found as surely as damage to a file's content.
"""

from __future__ import annotations

import hashlib
import os
import pickle
import struct
from dataclasses import dataclass, field

from qvc_cli.line_ends import LineEnds, is_valid_record
from qvc_cli.package_format import Span, VocabularyPlace
from qvc_cli.package_format import PackageError, restricted_loads

# Version 2 adds what describing a package needs without reading its vocabulary: each file's
# token count and where the vocabulary lies. Version 3 adds hard links, and is written only by
# a package that has some, so that other packages stay readable by a qvc that knows 2 at most.
# Versions 1 and 2 are read as ever.
FORMAT_VERSION = 3
_HARD_LINKS_SINCE = 3
KEY = "qvc_manifest"
DIGEST_SIZE = 32  # SHA-256

_KEY_OPCODES = b"\x8c" + bytes([len(KEY)]) + KEY.encode("ascii")
_PAYLOAD_OPCODE = b"\x8e"  # BINBYTES8
_LENGTH_OPCODE = b"\x8a\x08"  # LONG1 of 8 bytes
_END_OPCODES = b"\x86s."  # TUPLE2, SETITEM, STOP
TAIL_SIZE = len(_LENGTH_OPCODE) + 8 + len(_END_OPCODES)
_HEAD_SIZE = len(_KEY_OPCODES) + len(_PAYLOAD_OPCODE) + 8


@dataclass(slots=True)
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


@dataclass(slots=True)
class DirectoryEntry:
    path: bytes
    mode: int
    mtime_ns: int


@dataclass(slots=True)
class LinkEntry:
    path: bytes
    mtime_ns: int
    target: bytes


@dataclass(slots=True)
class HardLinkEntry:
    path: bytes
    target: bytes  # the stored path of a file entry before it, whose data this name shares


Entry = FileEntry | DirectoryEntry | LinkEntry | HardLinkEntry


class _Damaged(Exception):
    pass


def _require(condition: bool, what: str) -> None:
    if not condition:
        raise _Damaged(what)


# One column per field, each a byte string where it can be: a manifest of thousands of entries
# is then a pickle of a few dozen opcodes, quick to check and to load.
_KIND_CODES = {FileEntry: b"f", DirectoryEntry: b"d", LinkEntry: b"l", HardLinkEntry: b"h"}


def _has_unsafe_component(blob: bytes) -> bool:
    """Whether any of the NUL-separated paths in `blob` is absolute, or has an empty, `.` or
    `..` component (an empty path included)."""
    slashed = b"/" + blob.replace(b"\0", b"/") + b"/"
    return b"//" in slashed or b"/./" in slashed or b"/../" in slashed


def _ints(fmt: str, values: list[int]) -> bytes:
    return struct.pack(f"<{len(values)}{fmt}", *values)


def _unpack_ints(fmt: str, data: object, count: int, what: str) -> tuple[int, ...]:
    _require(type(data) is bytes and len(data) == count * struct.calcsize(fmt), f"{what} do not fit")
    return struct.unpack(f"<{count}{fmt}", data)


def _columns(entries: list[Entry], token_counts: list[int] | None, vocabulary: VocabularyPlace | None) -> dict:
    files = [entry for entry in entries if isinstance(entry, FileEntry)]
    links = [entry for entry in entries if isinstance(entry, LinkEntry)]
    hard_links = [entry for entry in entries if isinstance(entry, HardLinkEntry)]
    columns = {
        "version": _HARD_LINKS_SINCE if hard_links else 2,
        "kinds": b"".join(_KIND_CODES[type(entry)] for entry in entries),
        "paths": b"\0".join(entry.path for entry in entries),
        "modes": _ints("H", [getattr(entry, "mode", 0) for entry in entries]),
        "mtimes": _ints("q", [getattr(entry, "mtime_ns", 0) for entry in entries]),
        "sizes": _ints("Q", [entry.size for entry in files]),
        "digests": b"".join(entry.digest for entry in files),
        "line_ends": {i: entry.line_ends for i, entry in enumerate(files) if entry.line_ends is not None},
        # Empty where the name is the path's last component.
        "package_names": b"\0".join(entry.package_name or b"" for entry in files),
        "link_targets": b"\0".join(entry.target for entry in links),
        "token_counts": None if token_counts is None else _ints("I", token_counts),
        "vocabulary": None if vocabulary is None else (vocabulary.entries, vocabulary.start, vocabulary.end),
    }
    if hard_links:
        columns["hard_link_targets"] = b"\0".join(entry.target for entry in hard_links)
    return columns


def _split(blob: object, count: int, what: str) -> list[bytes]:
    _require(type(blob) is bytes, f"{what} are not a byte string")
    if count == 0:
        _require(blob == b"", f"{what} do not fit")
        return []
    parts = blob.split(b"\0")
    _require(len(parts) == count, f"{what} do not fit")
    return parts


def _check_paths(paths: list[bytes], blob: bytes) -> None:
    """No path may leave the directory it is restored into or name it ambiguously: no absolute
    path, no `..` or `.`, no empty component (`a//b`, a trailing slash)."""
    if _has_unsafe_component(blob):
        unsafe = next(path for path in paths if _has_unsafe_component(path))
        raise _Damaged(f"unsafe path {os.fsdecode(unsafe)!r}")


def _check_tree(paths: list[bytes], kinds: bytes) -> None:
    """Every path once, and none below a file or a link: a stored link `a -> /etc` followed by a
    file `a/passwd` would otherwise write outside the target."""
    if len(set(paths)) != len(paths):
        twice = next(path for path in paths if paths.count(path) > 1)
        raise _Damaged(f"path {os.fsdecode(twice)!r} is stored twice")
    above: set[bytes] = set()
    for path in paths:
        parent = path.rpartition(b"/")[0]
        while parent and parent not in above:
            above.add(parent)
            parent = parent.rpartition(b"/")[0]
    not_directories = {path for path, kind in zip(paths, kinds) if kind != ord("d")}
    clash = above & not_directories
    if clash:
        raise _Damaged(f"paths lie below a file or a link: {os.fsdecode(min(clash))!r}")


def _entries(content: dict) -> list[Entry]:
    kinds = content.get("kinds")
    known = b"fdlh" if content["version"] >= _HARD_LINKS_SINCE else b"fdl"
    _require(type(kinds) is bytes and not kinds.translate(None, known), "entry kinds are malformed")
    count, file_count, link_count = len(kinds), kinds.count(b"f"), kinds.count(b"l")
    paths_blob = content.get("paths")
    paths = _split(paths_blob, count, "paths")
    _check_paths(paths, paths_blob)
    modes = _unpack_ints("H", content.get("modes"), count, "modes")
    _require(max(modes, default=0) < 0o10000, "a mode is out of range")
    mtimes = _unpack_ints("q", content.get("mtimes"), count, "modification times")
    sizes = _unpack_ints("Q", content.get("sizes"), file_count, "file sizes")
    _require(max(sizes, default=0) < 2**63, "a file size is out of range")
    digests = content.get("digests")
    _require(type(digests) is bytes and len(digests) == DIGEST_SIZE * file_count, "digests do not fit")
    line_ends = content.get("line_ends")
    _require(type(line_ends) is dict and all(type(i) is int and 0 <= i < file_count and is_valid_record(r)
                                              for i, r in line_ends.items()), "line-end records are malformed")
    names = _split(content.get("package_names"), file_count, "names in the package")
    renamed = b"\0".join(name for name in names if name)
    _require(b"/" not in renamed and not (renamed and _has_unsafe_component(renamed)),
             "a name in the package is not one path component")
    targets = _split(content.get("link_targets"), link_count, "link targets")
    _require(all(targets), "a link target is empty")
    hard_link_count = kinds.count(b"h")
    hard_targets = _split(content.get("hard_link_targets", b""), hard_link_count, "hard link targets")
    _check_tree(paths, kinds)
    _check_hard_links(paths, kinds, hard_targets)

    entries: list[Entry] = []
    file_index = link_index = hard_link_index = 0
    file_kind, directory_kind, hard_link_kind = ord("f"), ord("d"), ord("h")
    for kind, path, mode, mtime in zip(kinds, paths, modes, mtimes):
        if kind == file_kind:
            i = file_index
            entries.append(FileEntry(path, mode, mtime, sizes[i], digests[i * DIGEST_SIZE:(i + 1) * DIGEST_SIZE],
                                     line_ends.get(i), names[i] or None))
            file_index += 1
        elif kind == directory_kind:
            entries.append(DirectoryEntry(path, mode, mtime))
        elif kind == hard_link_kind:
            entries.append(HardLinkEntry(path, hard_targets[hard_link_index]))
            hard_link_index += 1
        else:
            entries.append(LinkEntry(path, mtime, targets[link_index]))
            link_index += 1
    return entries


def _check_hard_links(paths: list[bytes], kinds: bytes, targets: list[bytes]) -> None:
    """Each hard link names a file stored before it: restoring makes the file first."""
    files_so_far: set[bytes] = set()
    hard_links = iter(targets)
    for path, kind in zip(paths, kinds):
        if kind == ord("f"):
            files_so_far.add(path)
        elif kind == ord("h"):
            target = next(hard_links)
            _require(target in files_so_far, f"hard link {os.fsdecode(path)!r} names no file before it")


def _package_facts(content: dict, file_count: int) -> tuple[list[int] | None, VocabularyPlace | None]:
    """Each file's token count and where the vocabulary lies, where the manifest records them."""
    if content.get("version") == 1:
        return None, None
    counts = content.get("token_counts")
    if counts is not None:
        counts = list(_unpack_ints("I", counts, file_count, "token counts"))
    place = content.get("vocabulary")
    if place is None:
        return counts, None
    _require(type(place) is tuple and len(place) == 3 and all(type(n) is int and n >= 0 for n in place)
             and place[1] <= place[2], "the vocabulary's place is malformed")
    return counts, VocabularyPlace(*place)


@dataclass
class Manifest:
    entries: list[Entry]
    token_counts: list[int] | None = None  # of the files, in package order
    vocabulary: VocabularyPlace | None = None
    files: list[FileEntry] = field(init=False)
    names_in_package: list[str] = field(init=False)  # of the files, in package order
    # Where its entry begins in the file, when it was read from the file's end.
    entry_start: int | None = field(default=None, compare=False)

    def __post_init__(self) -> None:
        self.files = [entry for entry in self.entries if isinstance(entry, FileEntry)]
        self.names_in_package = [entry.name_in_package for entry in self.files]

    def payload(self) -> bytes:
        pickled = pickle.dumps(_columns(self.entries, self.token_counts, self.vocabulary), protocol=4)
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
            entries = _entries(content)
            manifest = cls(entries, *_package_facts(content, content["kinds"].count(b"f")))
            names = manifest.names_in_package
            _require(len(set(names)) == len(names), "two files share one name in the package")
        except _Damaged as problem:
            raise PackageError(f"damaged manifest: {problem}") from None
        return manifest


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


def manifest_of(entry: object, extra_entries: dict) -> Manifest | None:
    """The manifest held in an unpickled package's "qvc_manifest" entry (the payload and its
    length); None when the package has none. An unknown entry that holds what a manifest entry
    holds is a manifest whose key was damaged: it must not pass for no manifest at all."""
    if entry is None:
        if any(_looks_like_manifest(value) for value in extra_entries.values()):
            raise PackageError("damaged manifest: its key is not as written")
        return None
    if not _looks_like_manifest(entry) or entry[1] != len(entry[0]):
        raise PackageError("damaged manifest: its entry is malformed")
    return Manifest.from_payload(entry[0])


def _looks_like_manifest(value: object) -> bool:
    return type(value) is tuple and len(value) == 2 and type(value[0]) is bytes and type(value[1]) is int


def read_at(package_path: str, span: Span) -> Manifest:
    """The manifest whose payload lies at `span` of the file, as a walk of its pickle found it."""
    with open(package_path, "rb") as f:
        f.seek(span.start)
        return Manifest.from_payload(f.read(span.length))


def belongs_to_the_pickle(manifest: Manifest) -> bool:
    """Whether a manifest read from the file's end is the one its pickle holds, as far as the
    package's own record tells without reading the pickle: the vocabulary ends right before the
    manifest's entry (after the SETITEMS, or after a frame header and the SETITEMS). Packages
    joined one after another (`cat a.qvc b.qvc`) end with the second one's manifest, whose
    positions are those of its own file."""
    place = manifest.vocabulary
    return (place is not None and manifest.entry_start is not None
            and manifest.entry_start - place.end in (1, 1 + 9))


def read_from_package(package_path: str) -> Manifest | None:
    """The manifest a package file ends with, or None when it ends otherwise (written by the
    library itself or another implementation, or followed by other data): whether it is the one
    the package's pickle holds is for `belongs_to_the_pickle`, or a walk of the pickle, to say.
    A manifest end whose head is damaged raises PackageError."""
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
                manifest = Manifest.from_payload(f.read(length))
                manifest.entry_start = start
                return manifest
    return None
