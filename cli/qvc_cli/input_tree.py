"""The command line's arguments to `qvc pack`, walked into the entries a package stores.

Each entry keeps its path relative to the argument it came from, the argument's own name
included (`docs/a.txt` for `qvc pack out.qvc ~/docs`), the way tar names members. Symlinks are
entries of their own unless the caller asks to follow them; FIFOs, sockets and devices are never
opened (a FIFO would block the reader for good) and are reported as skipped.
"""

from __future__ import annotations

import os
import stat
from dataclasses import dataclass, field

from qvc_cli.failures import Failure, listed

# A file name may take this many bytes on the file systems qvc restores onto.
NAME_MAX = 255


@dataclass
class InputEntry:
    kind: str  # "file", "dir" or "link"
    stored: bytes  # the path inside the package, components joined by "/"
    source: str  # where it is read from
    info: os.stat_result
    link_target: bytes = b""
    shown: str = ""  # how messages name it, when not by `source`

    @property
    def label(self) -> str:
        return self.shown or self.source


@dataclass
class InputTree:
    entries: list[InputEntry] = field(default_factory=list)
    skipped: list[str] = field(default_factory=list)  # "PATH: why", for the warnings

    @property
    def files(self) -> list[InputEntry]:
        return [entry for entry in self.entries if entry.kind == "file"]


_SPECIAL_KINDS = [
    (stat.S_ISFIFO, "a FIFO"), (stat.S_ISSOCK, "a socket"),
    (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
]


def _special_kind(mode: int) -> str:
    return next((what for test, what in _SPECIAL_KINDS if test(mode)), "not a regular file")


def _root_name(argument: str) -> bytes:
    """The name an argument is stored under: its last component, after resolving `.` and `..`
    textually; empty for the root directory, whose contents are then stored at the top."""
    return os.fsencode(os.path.basename(os.path.normpath(os.path.abspath(argument))))


class _Walker:
    def __init__(self, dereference: bool) -> None:
        self.dereference = dereference
        self.tree = InputTree()
        self.open_directories: set[tuple[int, int]] = set()

    def stat(self, path: str) -> os.stat_result:
        if self.dereference:
            try:
                return os.stat(path)
            except FileNotFoundError:
                pass  # a dangling link has nothing to follow: it is stored as the link it is
        return os.lstat(path)

    def visit(self, path: str, stored: bytes, info: os.stat_result) -> None:
        mode = info.st_mode
        if stat.S_ISDIR(mode):
            self.visit_directory(path, stored, info)
        elif stat.S_ISREG(mode):
            self.tree.entries.append(InputEntry("file", stored, path, info))
        elif stat.S_ISLNK(mode):
            target = os.fsencode(os.readlink(path))
            self.tree.entries.append(InputEntry("link", stored, path, info, target))
        else:
            self.tree.skipped.append(f"{path}: {_special_kind(mode)}")

    def visit_directory(self, path: str, stored: bytes, info: os.stat_result) -> None:
        identity = (info.st_dev, info.st_ino)
        if identity in self.open_directories:
            # Only reachable through a followed link back to an ancestor.
            self.tree.skipped.append(f"{path}: a link back to a directory above it")
            return
        if stored:
            self.tree.entries.append(InputEntry("dir", stored, path, info))
        self.open_directories.add(identity)
        try:
            with os.scandir(path) as listing:
                names = sorted(entry.name for entry in listing)
        except OSError as error:
            raise Failure(f"{path}: cannot list the directory: {error.strerror}") from None
        for name in names:
            child = os.path.join(path, name)
            child_stored = stored + b"/" + os.fsencode(name) if stored else os.fsencode(name)
            self.visit(child, child_stored, self.stat(child))
        self.open_directories.discard(identity)


def walk_inputs(arguments: list[str], dereference: bool = False, standard_input: InputEntry | None = None) -> InputTree:
    """Every entry under `arguments`, in argument order and sorted within each directory; the
    argument `-` stands for `standard_input`. Raises Failure for a missing argument or two
    entries that would land on one path."""
    walker = _Walker(dereference)
    for argument in arguments:
        if argument == "-" and standard_input is not None:
            walker.tree.entries.append(standard_input)
            continue
        try:
            info = walker.stat(argument)
        except FileNotFoundError:
            raise Failure(f"{argument}: no such file or directory") from None
        except OSError as error:
            raise Failure(f"{argument}: {error.strerror}") from None
        name = _root_name(argument)
        if not name and not stat.S_ISDIR(info.st_mode):
            raise Failure(f"{argument}: cannot be stored under a name")
        walker.visit(argument, name, info)
    refuse_colliding_paths(walker.tree.entries)
    return walker.tree


def refuse_colliding_paths(entries: list[InputEntry]) -> None:
    """Two arguments may bring one path twice (`a/x.txt b/x.txt`), or a file where another
    argument has a directory: restoring either would lose one of them."""
    first_source: dict[bytes, InputEntry] = {}
    clashes = []
    for entry in entries:
        earlier = first_source.setdefault(entry.stored, entry)
        if earlier is not entry and not (entry.kind == earlier.kind == "dir"):
            clashes.append(f"{os.fsdecode(entry.stored)} ({earlier.label}, {entry.label})")
    directories = {entry.stored for entry in entries if entry.kind == "dir"}
    for entry in entries:
        if entry.kind != "dir" and entry.stored in directories:
            clashes.append(f"{os.fsdecode(entry.stored)} ({entry.label} and a directory)")
    if clashes:
        raise Failure(f"two inputs would be stored under one path: {listed(clashes)}; "
                      "pack their parent directories instead")


def _shortened(name: bytes, suffix: bytes) -> bytes:
    """`name` + `suffix` within NAME_MAX bytes (any bytes make a valid name on POSIX)."""
    return name[: NAME_MAX - len(suffix)] + suffix


def flat_names(files: list[InputEntry]) -> list[str]:
    """A package names each file by one path component. The first file with a base name keeps
    it; later ones become `NAME~1`, `NAME~2`, ..., skipping names any file has already."""
    bases = [entry.stored.rsplit(b"/", 1)[-1] for entry in files]
    taken = set(bases)
    seen: set[bytes] = set()
    names = []
    for base in bases:
        if base not in seen:
            seen.add(base)
            names.append(base)
            continue
        number = 1
        while (candidate := _shortened(base, b"~%d" % number)) in taken:
            number += 1
        taken.add(candidate)
        names.append(candidate)
    return [os.fsdecode(name) for name in names]
