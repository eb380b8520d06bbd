"""`qvc unpack` and `qvc check`: restoring a package, verified, without ever losing a file.

The package is read as the library's decoder reads it, and its token stream decoded here, piece
by piece, only as far as the files asked for: `check` compares every file with its digest and
writes nothing anywhere; `unpack -c` checks the files it is asked for before it writes a byte,
and for a few files takes only their tokens from the vocabulary;
`unpack` writes each file into a private directory beside the target, checking it as it goes.
Only when every file matches are they moved to their places in the tree, and a failure
part-way through moves them all back. Paths in the tree are resolved one directory descriptor
at a time, never following a symlink, so neither a link already in the target nor one stored in
the package can carry a file anywhere else.
"""

from __future__ import annotations

import contextlib
import hashlib
import itertools
import os
import stat
import sys
import time
from collections import OrderedDict
from collections.abc import Iterator
from dataclasses import dataclass

from qvc_cli import line_ends, streams
from qvc_cli.failures import Failure, counted, listed
from qvc_cli.file_kinds import require_package
from qvc_cli.manifest import (DirectoryEntry, FileEntry, HardLinkEntry, LinkEntry, Manifest, belongs_to_the_pickle,
                              manifest_of, read_from_package)
from qvc_cli.package_format import (LoadedPackage, PackageDamage, PackageError, TokenStream, Unsupported, load,
                                    load_part)
from qvc_cli.package_problems import damaged
from qvc_cli.progress import Phase, Progress, running_totals, wanted
from qvc_cli.selection import select, with_parents
from qvc_cli.staging import Placement, opened_directory, private_directory, record_completed, signals_deferred
from qvc_cli.streams import package_argument
from qvc_cli.transaction import Transaction


# Set-user-ID and set-group-ID bits are not restored: a package is no reason to trust a program.
RESTORED_MODE_BITS = 0o1777


class _Mismatch(Exception):
    """A restored file is not what its manifest entry says was packed."""


def original_pieces(stream: TokenStream, span: tuple[int, int], entry: FileEntry | None) -> Iterator[bytes]:
    """A file's bytes as they were packed, in pieces: the decoder's text with its line ends put
    back. Once the pieces are out, _Mismatch if they do not match `entry` (without an entry,
    nothing is known to compare with)."""
    pieces = stream.texts(*span)
    if entry is None:
        yield from pieces
        return
    restorer = line_ends.LineEndRestorer(entry.line_ends) if entry.line_ends is not None else None
    hasher, size = hashlib.sha256(), 0
    for piece in pieces:
        if restorer is not None:
            piece = restorer.feed(piece)
        size += len(piece)
        if size > entry.size:
            raise _Mismatch
        hasher.update(piece)
        yield piece
    if size != entry.size or hasher.digest() != entry.digest or restorer is not None and not restorer.fits():
        raise _Mismatch


@dataclass
class OpenedPackage:
    """A package read as the decoder reads it, with its manifest, ready to restore from."""

    path: str
    shown: str
    package: LoadedPackage
    manifest: Manifest | None

    def file_entry(self, number: int) -> FileEntry | None:
        return self.manifest.files[number] if self.manifest is not None else None

    def stored_path(self, number: int) -> str:
        entry = self.file_entry(number)
        return os.fsdecode(entry.path) if entry is not None else self.package.names[number]

    def expected_size(self, number: int) -> int | None:
        entry = self.file_entry(number)
        return entry.size if entry is not None else None

    def restored_pieces(self, stream: TokenStream, number: int) -> Iterator[bytes]:
        return original_pieces(stream, self.package.file_spans[number], self.file_entry(number))


def open_package(path: str, shown: str, with_manifest: bool = True) -> OpenedPackage:
    """The package at `path` as the library's decoder reads it (its first pickle, whatever
    follows), with the manifest that pickle holds; Failure naming `shown` for damage. Without
    `with_manifest` (only to measure what it costs) the package is taken for one without."""
    require_package(path, shown)
    try:
        package = load(path)
    except PackageDamage as damage:
        raise damaged(shown, str(damage)) from None
    try:
        manifest = manifest_of(package.manifest_entry, package.extra_entries) if with_manifest else None
    except PackageError as error:
        raise Failure(f"{shown}: {error}") from None
    if manifest is not None and manifest.names_in_package != package.names:
        raise damaged(shown, "its manifest does not match its file list")
    if manifest is None:
        unsafe = next((name for name in package.names if not _is_file_name(name)), None)
        if unsafe is not None:
            raise damaged(shown, f"its file name {unsafe!r} is not the name of a file")
    return OpenedPackage(path, shown, package, manifest)


def _is_file_name(name: str) -> bool:
    return bool(name) and name not in (".", "..") and "/" not in name and "\0" not in name


def trailing_data_warning(opened: OpenedPackage) -> str | None:
    """What to say of bytes after the package's pickle: no reader takes them for part of it."""
    package = opened.package
    if not package.trailing_bytes:
        return None
    return (f"{opened.shown}: {counted(package.trailing_bytes, 'byte')} after the package's end "
            f"(from byte {package.end:,}) are not part of it and were ignored")


def _file_numbers(manifest: Manifest | None, names: list[str], chosen: list[int] | None) -> list[int]:
    """The numbers of the files among the chosen entries (every file without a choice)."""
    if chosen is None:
        return list(range(len(names)))
    if manifest is None:
        return chosen
    number_of = {}
    for entry in manifest.files:
        number_of[id(entry)] = len(number_of)
    return [number_of[id(manifest.entries[i])] for i in chosen if isinstance(manifest.entries[i], FileEntry)]


def _progress_phase(label: str, opened: OpenedPackage, numbers: list[int], counter) -> Phase:
    sizes = [opened.expected_size(number) for number in numbers]
    if None in sizes:
        return Phase(label, counter)
    ends = running_totals(sizes)
    return Phase(label, counter, ends[-1] if ends else 0, ends)


class _Count:
    """Bytes done so far, for the progress display."""

    def __init__(self) -> None:
        self.done = 0

    def __call__(self) -> int:
        return self.done


def _loaded(path: str, shown: str, progress: Progress, patterns: list[str] = (),
            with_manifest: bool = True) -> tuple[OpenedPackage, list[int] | None]:
    """The package, and the indices of the entries `patterns` match (None without patterns)."""
    with progress.stage(Phase("reading the package")):
        if patterns and with_manifest:
            part = _open_part(path, shown, list(patterns))
            if part is not None:
                return part
        opened = open_package(path, shown, with_manifest)
        chosen = _choose(shown, opened.manifest, opened.package.names, list(patterns)) if patterns else None
        return opened, chosen


def _open_part(path: str, shown: str, patterns: list[str]) -> tuple[OpenedPackage, list[int]] | None:
    """The package read for the few files `patterns` choose, with the indices of the entries
    they match; None when it cannot be read that way. Only a package whose manifest belongs to
    its pickle is: every file decoded is then checked against its digest."""
    require_package(path, shown)
    try:
        manifest = read_from_package(path)
    except PackageError:
        return None
    if manifest is None or not belongs_to_the_pickle(manifest):
        return None
    chosen: list[list[int]] = []

    def choose(names: list[str]) -> list[int]:
        if names != manifest.names_in_package:
            raise Unsupported("the manifest does not match the file list")
        chosen.append(_choose(shown, manifest, names, patterns))
        return _file_numbers(manifest, names, chosen[0])

    try:
        package, _ = load_part(path, choose)
        own = manifest_of(package.manifest_entry, {})
    except Unsupported:
        return None
    except PackageDamage as damage:
        raise damaged(shown, str(damage)) from None
    except PackageError as error:
        raise Failure(f"{shown}: {error}") from None
    if own != manifest:
        return None
    return OpenedPackage(path, shown, package, own), chosen[0]


def verify(opened: OpenedPackage, numbers: list[int], progress: Progress, keep: int = 0,
           whole: bool = False) -> tuple[list[str], dict[int, list[bytes]]]:
    """Decodes files `numbers` (in package order) and compares each with its digest, writing
    nothing: the stored paths of those that differ, and the bytes of the first files, as many
    as fit in `keep` bytes. With `whole`, the rest of the stream is decoded too."""
    stream, count = TokenStream(opened.package), _Count()
    mismatched, kept, room = [], {}, keep
    try:
        with progress.stage(_progress_phase("checking", opened, numbers, count)):
            for number in numbers:
                pieces = []
                try:
                    for piece in opened.restored_pieces(stream, number):
                        count.done += len(piece)
                        room -= len(piece)
                        if room >= 0:
                            pieces.append(piece)
                except _Mismatch:
                    mismatched.append(opened.stored_path(number))
                if room >= 0:
                    kept[number] = pieces
            if whole:
                stream.finish()
    except PackageDamage as damage:
        raise damaged(opened.shown, str(damage)) from None
    finally:
        stream.close()
    return mismatched, kept


def _write_staged(opened: OpenedPackage, numbers: list[int], directory: str, apply_metadata: bool,
                  progress: Progress, target: str, whole: bool) -> list[str]:
    """Restores files `numbers` into `directory`, each under its number, checked against its
    digest as it is written; the stored paths of those that differ."""
    stream, count = TokenStream(opened.package), _Count()
    mismatched = []
    number = None
    directory_fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    try:
        with progress.stage(_progress_phase("restoring", opened, numbers, count)):
            for number in numbers:
                fd = os.open(str(number), os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600,
                             dir_fd=directory_fd)
                with open(fd, "wb") as f:
                    try:
                        for piece in opened.restored_pieces(stream, number):
                            f.write(piece)
                            count.done += len(piece)
                    except _Mismatch:
                        mismatched.append(opened.stored_path(number))
                        continue
                    f.flush()  # before its time is set
                    entry = opened.file_entry(number)
                    if apply_metadata and entry is not None:
                        os.chmod(fd, entry.mode & RESTORED_MODE_BITS)
                        os.utime(fd, ns=(entry.mtime_ns, entry.mtime_ns))
            if whole:
                stream.finish()
    except PackageDamage as damage:
        raise damaged(opened.shown, str(damage)) from None
    except OSError as error:
        where = opened.stored_path(number) if number is not None else ""
        raise Failure(f"{target}: {error.strerror or error} (while restoring {where}); nothing restored") from None
    finally:
        os.close(directory_fd)
        stream.close()
    return mismatched


def _damaged_files(shown: str, paths: list[str], consequence: str) -> Failure:
    return Failure(f"{shown}: damaged, {counted(len(paths), 'file')} not as packed ({listed(paths)})"
                   + (f"; {consequence}" if consequence else ""))


def _conflicts(target: str, entries: list) -> tuple[list[str], list[str]]:
    """Entries whose place in `target` is taken: (replaceable with --force, never replaced).
    Entries are manifest entries, or names of a package without one. A directory in the way of
    a file is never removed."""
    replaceable, blocking = [], []
    for entry in entries:
        relative = entry if isinstance(entry, str) else os.fsdecode(entry.path)
        try:
            info = os.lstat(os.path.join(target, relative))
        except FileNotFoundError:
            continue
        except NotADirectoryError:  # a file where the path needs a directory
            replaceable.append(relative)
            continue
        wants_directory = isinstance(entry, DirectoryEntry)
        if not stat.S_ISDIR(info.st_mode):
            replaceable.append(relative)
        elif not wants_directory:
            blocking.append(relative)
    return replaceable, blocking


def refuse_conflicts(target: str, entries: list, force: bool) -> None:
    replaceable, blocking = _conflicts(target, entries)
    if blocking:
        raise Failure(f"{target}: {counted(len(blocking), 'directory', 'directories')} in the way of files to restore "
                      f"({listed(blocking)}); choose another directory with -o")
    if replaceable and not force:
        exist, them = ("exists", "it") if len(replaceable) == 1 else ("exist", "them")
        raise Failure(f"{target}: {counted(len(replaceable), 'file')} {exist} already ({listed(replaceable)}); "
                      f"use --force to replace {them} or choose another directory with -o")


# Directories of the tree held open at once while files are moved in; others are opened again
# when needed. Any tree is restored within this many descriptors, beside a few of the process's own.
OPEN_DIRECTORIES = 16
_DIRECTORY_FLAGS = os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC


def _open_below(root_fd: int, path: bytes) -> int:
    """A new descriptor of directory `path` below `root_fd`, opened one component at a time,
    never through a symlink."""
    fd = root_fd
    for name in path.split(b"/"):
        try:
            below = os.open(name, _DIRECTORY_FLAGS, dir_fd=fd)
        finally:
            if fd != root_fd:
                os.close(fd)
        fd = below
    return fd


class _TreeWriter:
    """Moves staged files into `target` along descriptors, never through a symlink, holding at
    most OPEN_DIRECTORIES of the tree's directories open: the most recently used."""

    def __init__(self, target_fd: int, work_fd: int, transaction: Transaction, force: bool):
        self.target_fd = target_fd
        self.placement = Placement(transaction, reopen=self.reopened)
        self.force = force
        self.work_fd = work_fd
        self.open: OrderedDict[bytes, int] = OrderedDict()
        self.created: list[bytes] = []

    def close(self) -> None:
        while self.open:
            os.close(self.open.popitem()[1])

    @contextlib.contextmanager
    def reopened(self, path: bytes) -> Iterator[int]:
        if not path:
            yield self.target_fd
            return
        fd = _open_below(self.target_fd, path)
        try:
            yield fd
        finally:
            os.close(fd)

    def _remember(self, path: bytes, fd: int) -> None:
        self.open[path] = fd
        while len(self.open) > OPEN_DIRECTORIES:
            os.close(self.open.popitem(last=False)[1])

    def directory(self, path: bytes) -> int:
        """The descriptor of directory `path` of the tree, made with any missing parents."""
        if not path:
            return self.target_fd
        fd = self.open.get(path)
        if fd is not None:
            self.open.move_to_end(path)
            return fd
        names = path.split(b"/")
        depth = len(names) - 1  # of the deepest parent held open, 0 for the target
        while depth and b"/".join(names[:depth]) not in self.open:
            depth -= 1
        parent = b"/".join(names[:depth])
        parent_fd = self.open[parent] if depth else self.target_fd
        for depth in range(depth, len(names)):
            here, name = b"/".join(names[:depth + 1]), names[depth]
            made = self.placement.make_directory(parent_fd, name, replace=self.force, backup_fd=self.work_fd,
                                                 where=parent)
            fd = os.open(name, _DIRECTORY_FLAGS, dir_fd=parent_fd)
            if made:
                self.created.append(here)
            self._remember(here, fd)
            parent, parent_fd = here, fd
        return parent_fd

    def place(self, source_fd: int, source: str, path: bytes) -> None:
        parent, _, name = path.rpartition(b"/")
        self.placement.move(source_fd, source, self.directory(parent), name, replace=self.force,
                            backup_fd=self.work_fd, where=parent)


def _commit_tree(staged: str, manifest: Manifest, target: str, work: str, force: bool,
                 chosen: set[int] | None = None) -> None:
    """Puts the tree in place, its files from `staged`, where each is named by its number:
    every entry, or those whose indices are `chosen`."""
    links = os.path.join(work, "links")
    os.mkdir(links)
    file_numbers = itertools.count()
    directory_metadata: dict[bytes, DirectoryEntry] = {}
    entry: DirectoryEntry | FileEntry | LinkEntry | HardLinkEntry | None = None
    with signals_deferred(), contextlib.ExitStack() as stack:
        target_fd = stack.enter_context(opened_directory(target))
        work_fd = stack.enter_context(opened_directory(work))
        files_fd = stack.enter_context(opened_directory(staged))
        links_fd = stack.enter_context(opened_directory(links))
        transaction = Transaction()
        writer = _TreeWriter(target_fd, work_fd, transaction, force)
        stack.callback(writer.close)
        # Entered last, so undone while the directories are still open.
        stack.enter_context(transaction)
        try:
            for number, entry in enumerate(manifest.entries):
                if isinstance(entry, FileEntry):
                    name = str(next(file_numbers))
                    if chosen is None or number in chosen:
                        writer.place(files_fd, name, entry.path)
                elif chosen is not None and number not in chosen:
                    continue
                elif isinstance(entry, DirectoryEntry):
                    writer.directory(entry.path)
                    directory_metadata[entry.path] = entry
                elif isinstance(entry, HardLinkEntry):
                    _place_hard_link(writer, links_fd, str(number), entry)
                else:
                    staged_link = str(number)
                    os.symlink(entry.target, staged_link, dir_fd=links_fd)
                    os.utime(staged_link, ns=(entry.mtime_ns, entry.mtime_ns), dir_fd=links_fd,
                             follow_symlinks=False)
                    writer.place(links_fd, staged_link, entry.path)
        except OSError as error:
            where = os.path.join(target, os.fsdecode(entry.path)) if entry is not None else target
            raise _placing_failure(where, error) from None
        # Last, deepest first: a directory's time changes with every entry made in it.
        writer.close()
        for path in sorted(writer.created, key=lambda path: path.count(b"/"), reverse=True):
            entry = directory_metadata.get(path)
            if entry is not None:
                with writer.reopened(path) as fd:
                    os.chmod(fd, entry.mode & RESTORED_MODE_BITS)
                    os.utime(fd, ns=(entry.mtime_ns, entry.mtime_ns))
        record_completed(f"everything was restored into {target}")


def _place_hard_link(writer: _TreeWriter, links_fd: int, staged_name: str, entry: HardLinkEntry) -> None:
    """A second name for a file already placed: linked in the private directory first, then
    moved to its place like any file, so that undoing the restore takes it back too."""
    parent, _, name = entry.target.rpartition(b"/")
    os.link(name, staged_name, src_dir_fd=writer.directory(parent), dst_dir_fd=links_fd, follow_symlinks=False)
    writer.place(links_fd, staged_name, entry.path)


def _commit_flat(staged: str, names: dict[str, int], target: str, work: str, force: bool) -> None:
    """Puts files from `staged`, where each is named by its number, in place under `names`."""
    name = ""
    with signals_deferred(), contextlib.ExitStack() as stack:
        target_fd = stack.enter_context(opened_directory(target))
        work_fd = stack.enter_context(opened_directory(work))
        files_fd = stack.enter_context(opened_directory(staged))
        placement = Placement(stack.enter_context(Transaction()))
        try:
            for name, number in names.items():
                placement.move(files_fd, str(number), target_fd, name, replace=force, backup_fd=work_fd)
        except OSError as error:
            raise _placing_failure(os.path.join(target, name), error) from None
        record_completed(f"everything was restored into {target}")


def _placing_failure(where: str, error: OSError) -> Failure:
    """What to say once everything placed before `error` has been taken back."""
    if isinstance(error, FileExistsError):
        return Failure(f"{where}: appeared while restoring; nothing restored")
    return Failure(f"{where}: {error.strerror}; nothing restored")


def default_output_dir(package: str) -> str:
    stem, extension = os.path.splitext(os.path.basename(package))
    return stem if extension and stem else os.path.basename(package) + ".files"


def _is_empty_directory(path: str) -> bool:
    with os.scandir(path) as listing:
        return next(listing, None) is None


@contextlib.contextmanager
def _target_directory(target: str):
    """Makes `target` with any missing parents; removes what it made if the block fails."""
    made = []
    path = os.path.abspath(target)
    while not os.path.lexists(path):
        made.append(path)
        path = os.path.dirname(path)
    with Transaction(while_undoing=signals_deferred) as transaction:
        try:
            for directory in reversed(made):
                os.mkdir(directory)
                transaction.on_failure(os.rmdir, directory)
        except OSError as error:
            raise Failure(f"{target}: cannot make the directory: {error.strerror}") from None
        yield


@contextlib.contextmanager
def _work_directory_in(target: str):
    """The private directory files are restored into first; a target that cannot hold it is
    named as the user named it."""
    stack = contextlib.ExitStack()
    try:
        work = stack.enter_context(private_directory(target, "unpack"))
    except OSError as error:
        raise Failure(f"{target}: cannot be written: {error.strerror}; nothing restored") from None
    with stack:
        yield work


def _choose(shown: str, manifest: Manifest | None, names: list[str], patterns: list[str]) -> list[int]:
    """The indices of the entries (of the manifest, or of the package's names) to restore;
    Failure naming the patterns that match nothing, as nothing is then restored."""
    paths = [os.fsdecode(entry.path) for entry in manifest.entries] if manifest is not None else names
    chosen, unmatched = select(paths, patterns)
    if unmatched:
        raise Failure(f"{shown}: not in the package: {listed(unmatched)}; nothing restored")
    if manifest is None:
        return chosen
    # A hard link is made to its file, which comes along.
    index_of = {path: index for index, path in enumerate(paths)}
    chosen += [index_of[os.fsdecode(manifest.entries[i].target)] for i in chosen
               if isinstance(manifest.entries[i], HardLinkEntry)]
    return with_parents(paths, sorted(set(chosen)))


@dataclass
class UnpackResult:
    target: str
    manifest: Manifest | None
    names: list[str]
    restored: list[str]  # the stored paths put in place, files first in package order
    chosen: bool = False  # whether a selection was restored
    warning: str | None = None  # about trailing data


def unpack(package: str, output: str | None, force: bool, with_manifest: bool = True, patterns: list[str] = (),
           shown: str | None = None, progress: Progress | None = None) -> UnpackResult:
    """Restores `package` into `output` (default: a new directory named after it); with
    `patterns`, only the entries they match. Without `with_manifest` (only to measure what it
    costs) the package is taken for one without."""
    shown = shown or package
    progress = progress or Progress(False)
    opened, chosen = _loaded(package, shown, progress, patterns, with_manifest)
    manifest = opened.manifest
    target = output or default_output_dir(package)
    occupied = False
    if os.path.lexists(target):
        if not os.path.isdir(target):
            raise Failure(f"{target}: exists and is not a directory; choose another with -o")
        occupied = os.path.islink(target) or not _is_empty_directory(target)
        if output is None and occupied:
            raise Failure(f"{target}: exists and is not empty; choose another directory with -o")
    numbers = _file_numbers(manifest, opened.package.names, chosen)
    if manifest is not None:
        entries = manifest.entries if chosen is None else [manifest.entries[i] for i in chosen]
        if occupied:
            refuse_conflicts(target, entries, force)
        restored = [os.fsdecode(entry.path) for entry in entries]
    else:
        # Of several files of one name, the last is the one a flat directory can hold.
        flat = {opened.package.names[number]: number for number in numbers}
        if occupied:
            refuse_conflicts(target, list(flat), force)
        restored = list(flat)
    with _target_directory(target), _work_directory_in(target) as work:
        staged = os.path.join(work, "files")
        os.mkdir(staged)
        mismatched = _write_staged(opened, numbers, staged, True, progress, target, whole=chosen is None)
        if mismatched:
            raise _damaged_files(shown, mismatched, "nothing restored")
        if manifest is not None:
            _commit_tree(staged, manifest, target, work, force, None if chosen is None else set(chosen))
        else:
            _commit_flat(staged, flat, target, work, force)
    return UnpackResult(target, manifest, opened.package.names, restored, chosen is not None,
                        trailing_data_warning(opened))


# Up to this many bytes of text to write to standard output are kept from checking to writing;
# beyond it they are decoded a second time, which costs time but no disk and no more memory.
KEPT_FOR_OUTPUT = 64 << 20


def write_to_standard_output(package: str, patterns: list[str], shown: str, progress: Progress) -> list[str]:
    """Writes the text of the files `patterns` match (every file without patterns), in package
    order, each checked against its digest before a single byte is written. Returns their paths."""
    opened, chosen = _loaded(package, shown, progress, patterns)
    numbers = _file_numbers(opened.manifest, opened.package.names, chosen)
    if chosen is not None and not numbers:
        raise Failure(f"{shown}: {listed(patterns)} match no file, only directories or links")
    mismatched, kept = verify(opened, numbers, progress, keep=KEPT_FOR_OUTPUT, whole=chosen is None)
    if mismatched:
        raise _damaged_files(shown, mismatched, "nothing written")
    stream = TokenStream(opened.package)
    try:
        for number in numbers:
            pieces = kept.get(number)
            if pieces is None:
                pieces = opened.restored_pieces(stream, number)
            for piece in pieces:
                streams.write_to_standard_output(piece)
    except (PackageDamage, _Mismatch):
        # The same bytes checked a moment ago: only a failing memory gets here.
        raise Failure(f"{shown}: decoded differently the second time; output incomplete") from None
    finally:
        stream.close()
    return [opened.stored_path(number) for number in numbers]


def run_unpack(args) -> int:
    started = time.perf_counter()
    to_standard_output = args.stdout
    with contextlib.ExitStack() as stack:
        progress = stack.enter_context(Progress(wanted(args.quiet)))
        package, shown = package_argument(stack, args.package, progress)
        if to_standard_output:
            paths = write_to_standard_output(package, args.patterns, shown, progress)
            progress.stop()
            if args.verbose:
                print("\n".join(paths), file=sys.stderr)
            return 0
        output = args.output or ("." if args.package == "-" else None)
        result = unpack(package, output, args.force, patterns=args.patterns, shown=shown, progress=progress)
        progress.stop()
    if result.warning:
        print(f"qvc unpack: warning: {result.warning}", file=sys.stderr)
    if args.verbose:
        for path in result.restored:
            print(path)
    if args.quiet:
        return 0
    seconds = time.perf_counter() - started
    names = result.names
    if result.manifest is None:
        repeated = len(names) - len(set(names))
        note = (f"; {counted(repeated, 'name repeats', 'names repeat')}, the last file of each name kept"
                if repeated else "")
        print(f"restored {counted(len(result.restored), 'file')} into {result.target}, {seconds:.2f} s; "
              f"the package has no manifest: no digests to verify, names flat{note}")
    else:
        entries = result.manifest.entries
        if result.chosen:
            restored = set(result.restored)
            entries = [entry for entry in entries if os.fsdecode(entry.path) in restored]
        files = sum(isinstance(entry, FileEntry) for entry in entries)
        directories = sum(isinstance(entry, DirectoryEntry) for entry in entries)
        links = sum(isinstance(entry, (LinkEntry, HardLinkEntry)) for entry in entries)
        of = f" (of {len(names):,} in the package)" if result.chosen else ""
        print(f"restored {counted(files, 'file')}{of}, {counted(directories, 'directory', 'directories')} "
              f"and {counted(links, 'link')} "
              f"into {result.target}, every digest verified, {seconds:.2f} s")
    return 0


def run_check(args) -> int:
    """Decodes every file and compares it with its digest, writing nothing anywhere."""
    with contextlib.ExitStack() as stack:
        progress = stack.enter_context(Progress(wanted(args.quiet)))
        package, shown = package_argument(stack, args.package, progress)
        opened, _ = _loaded(package, shown, progress)
        numbers = list(range(len(opened.package.names)))
        mismatched, _ = verify(opened, numbers, progress, whole=True)
        progress.stop()
    warning = trailing_data_warning(opened)
    if warning:
        print(f"qvc check: warning: {warning}", file=sys.stderr)
    if mismatched:
        raise _damaged_files(shown, mismatched, "")
    if args.verbose:
        for number in numbers:
            print(opened.stored_path(number))
    if args.quiet:
        return 0
    if opened.manifest is None:
        print(f"{shown}: decodes, {counted(len(numbers), 'file')}; no manifest, so no digests to compare")
    else:
        print(f"{shown}: intact, {counted(len(numbers), 'file')}, every digest matches")
    return 0
