"""The command line's arguments to `qvc pack`, walked into the entries a package stores.

Each entry keeps its path relative to the argument it came from, the argument's own name
included (`docs/a.txt` for `qvc pack out.qvc ~/docs`), the way tar names members; the contents
of `.` and of `/` are stored at the top. Symlinks are entries of their own unless the caller
asks to follow them; FIFOs, sockets and devices are never opened (a FIFO would block the
reader for good) and are reported as skipped. A file with several names in the tree is stored
once, its other names as hard links to the first.

What cannot be read (a file or directory without permission, a followed link that loops) is
left out and listed, as tar does, unless the caller asks to stop there. Paths longer than the
system takes in one call are reached through shortcuts: symlinks, in a private directory, to
the directories along the way, so that every path handed on (to the encoder too) is short.
"""

from __future__ import annotations

import errno
import fnmatch
import os
import stat
from dataclasses import dataclass, field

from qvc_cli.failures import Failure, listed

# A file name may take this many bytes on the file systems qvc restores onto.
NAME_MAX = 255

# Paths handed to the system stay below this many bytes (it takes 4,096 at most); a directory
# whose path reaches it is reached through a shortcut.
SHORT_PATH = 3072


@dataclass
class InputEntry:
    kind: str  # "file", "dir", "link" or "hardlink"
    stored: bytes  # the path inside the package, components joined by "/"
    source: str  # where it is read from: a path short enough to hand to the system
    info: os.stat_result
    # A symlink's target; for a hard link, the stored path of the file whose data it shares.
    link_target: bytes = b""
    shown: str = ""  # how messages name it, when not by `source`

    @property
    def label(self) -> str:
        return self.shown or self.source


@dataclass
class InputTree:
    entries: list[InputEntry] = field(default_factory=list)
    skipped: list[str] = field(default_factory=list)  # "PATH: why", warned about
    unreadable: list[str] = field(default_factory=list)  # "PATH: why", warned about; exit status 2

    @property
    def files(self) -> list[InputEntry]:
        return [entry for entry in self.entries if entry.kind == "file"]

    @property
    def left_out(self) -> list[str]:
        return self.skipped + self.unreadable


@dataclass
class WalkOptions:
    dereference: bool = False
    excluded: list[str] = field(default_factory=list)  # globs, as --exclude takes them
    strict: bool = False  # an unreadable input stops the walk
    shortcuts: str | None = None  # where links to directories with long paths are made
    # The package being replaced, when it lies in the tree: ((st_dev, st_ino), real path).
    leave_out: tuple[tuple[int, int], str] | None = None


_SPECIAL_KINDS = [
    (stat.S_ISFIFO, "a FIFO"), (stat.S_ISSOCK, "a socket"),
    (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
]


def _special_kind(mode: int) -> str:
    return next((what for test, what in _SPECIAL_KINDS if test(mode)), "not a regular file")


def _root_name(argument: str) -> bytes:
    """The name an argument is stored under: its last component, after resolving `..`
    textually; empty for `.` and for the root directory, whose contents are then stored at the
    top."""
    if os.path.normpath(argument) == ".":
        return b""
    return os.fsencode(os.path.basename(os.path.normpath(os.path.abspath(argument))))


def excluded(stored: bytes, patterns: list[str]) -> bool:
    """Whether a glob matches the stored path or any final part of it (`*.log` leaves out
    `a/b.log`; `build` leaves out every directory named build; `a/tmp` only that one)."""
    path = os.fsdecode(stored)
    while True:
        if any(fnmatch.fnmatchcase(path, pattern) for pattern in patterns):
            return True
        _, slash, path = path.partition("/")
        if not slash:
            return False


class _Walker:
    def __init__(self, options: WalkOptions) -> None:
        self.options = options
        self.excluded = [pattern.rstrip("/") or pattern for pattern in options.excluded]
        self.tree = InputTree()
        self.open_directories: set[tuple[int, int]] = set()
        self.first_names: dict[tuple[int, int], bytes] = {}  # a file's stored path, by identity
        self.shortcut_count = 0

    def unreadable(self, shown: str, error: OSError) -> None:
        problem = f"{shown}: {error.strerror or error}"
        if self.options.strict:
            raise Failure(f"{problem}; stopped there (--strict)")
        self.tree.unreadable.append(problem)

    def stat(self, path: str) -> os.stat_result:
        if self.options.dereference:
            try:
                return os.stat(path)
            except FileNotFoundError:
                pass  # a dangling link has nothing to follow: it is stored as the link it is
        return os.lstat(path)

    def shortcut(self, directory: str) -> str:
        """A short path to `directory`: a link to it in the private directory."""
        if self.options.shortcuts is None:
            raise Failure(f"{directory}: the path is too long")
        link = os.path.join(self.options.shortcuts, str(self.shortcut_count))
        self.shortcut_count += 1
        os.symlink(os.path.abspath(directory), link)
        return link

    def visit(self, path: str, shown: str, stored: bytes, info: os.stat_result) -> None:
        mode = info.st_mode
        if stat.S_ISDIR(mode):
            self.visit_directory(path, shown, stored, info)
        elif stat.S_ISREG(mode):
            self.visit_file(path, shown, stored, info)
        elif stat.S_ISLNK(mode):
            try:
                target = os.fsencode(os.readlink(path))
            except OSError as error:
                self.unreadable(shown or path, error)
                return
            self.tree.entries.append(InputEntry("link", stored, path, info, target, shown))
        else:
            self.tree.skipped.append(f"{shown or path}: {_special_kind(mode)}")

    def visit_file(self, path: str, shown: str, stored: bytes, info: os.stat_result) -> None:
        identity = (info.st_dev, info.st_ino)
        leave_out = self.options.leave_out
        if leave_out is not None and identity == leave_out[0] and os.path.realpath(path) == leave_out[1]:
            return  # the package that this run replaces
        if info.st_nlink > 1:
            first = self.first_names.get(identity)
            if first is not None:
                self.tree.entries.append(InputEntry("hardlink", stored, path, info, first, shown))
                return
        try:
            # Non-blocking: a FIFO put where the file was must not hang the walk.
            os.close(os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC))
        except OSError as error:
            self.unreadable(shown or path, error)
            return
        if info.st_nlink > 1:
            self.first_names[identity] = stored
        self.tree.entries.append(InputEntry("file", stored, path, info, shown=shown))

    def visit_directory(self, path: str, shown: str, stored: bytes, info: os.stat_result) -> None:
        identity = (info.st_dev, info.st_ino)
        if identity in self.open_directories:
            # Only reachable through a followed link back to an ancestor.
            self.tree.skipped.append(f"{shown or path}: a link back to a directory above it")
            return
        try:
            with os.scandir(path) as listing:
                names = sorted(entry.name for entry in listing)
        except OSError as error:
            self.unreadable(shown or path, error)
            return
        if stored:
            self.tree.entries.append(InputEntry("dir", stored, path, info, shown=shown))
        if len(os.fsencode(path)) >= SHORT_PATH:
            shown = shown or path
            path = self.shortcut(path)
        self.open_directories.add(identity)
        for name in names:
            child = os.path.join(path, name)
            child_shown = os.path.join(shown, name) if shown else ""
            child_stored = stored + b"/" + os.fsencode(name) if stored else os.fsencode(name)
            if self.excluded and excluded(child_stored, self.excluded):
                continue
            try:
                child_info = self.stat(child)
            except OSError as error:  # a followed link that loops, or one gone meanwhile
                self.unreadable(child_shown or child, error)
                continue
            self.visit(child, child_shown, child_stored, child_info)
        self.open_directories.discard(identity)


def walk_inputs(arguments: list[str], options: WalkOptions | None = None,
                standard_input: InputEntry | None = None) -> InputTree:
    """Every entry under `arguments`, in argument order and sorted within each directory; the
    argument `-` stands for `standard_input`. Raises Failure for a missing argument or two
    entries that would land on one path."""
    walker = _Walker(options or WalkOptions())
    for argument in arguments:
        if argument == "-" and standard_input is not None:
            walker.tree.entries.append(standard_input)
            continue
        if len(os.fsencode(argument)) >= 4096:
            raise Failure(f"{argument[:64]}...: a path of {len(os.fsencode(argument)):,} bytes is "
                          "too long to name an input; pack a directory above it")
        try:
            info = walker.stat(argument)
        except FileNotFoundError:
            raise Failure(f"{argument}: no such file or directory") from None
        except OSError as error:
            if error.errno in (errno.ELOOP, errno.EACCES):
                walker.unreadable(argument, error)
                continue
            raise Failure(f"{argument}: {error.strerror}") from None
        name = _root_name(argument)
        if name and walker.excluded and excluded(name, walker.excluded):
            continue
        if not name and not stat.S_ISDIR(info.st_mode):
            raise Failure(f"{argument}: cannot be stored under a name")
        walker.visit(argument, "", name, info)
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
    # The number each base name's next copy tries first: a tree with thousands of __init__.py
    # would otherwise try every smaller number again for each copy.
    next_number: dict[bytes, int] = {}
    names = []
    for base in bases:
        if base not in seen:
            seen.add(base)
            names.append(base)
            continue
        number = next_number.get(base, 1)
        while (candidate := _shortened(base, b"~%d" % number)) in taken:
            number += 1
        next_number[base] = number + 1
        taken.add(candidate)
        names.append(candidate)
    return [os.fsdecode(name) for name in names]
