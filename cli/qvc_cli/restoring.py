"""`qvc unpack` and `qvc check`: restoring a package, verified, without ever losing a file.

The library's `decode_package` writes the package's files, flat, into a private directory that
this process made. Each restored file is checked against its manifest entry (its line ends put
back first) by a second process while the decoder writes the next ones; only when every file
matches are they moved to their places in the tree, and a failure part-way through moves them
all back. Paths in the tree are resolved one directory descriptor at a time, never following a
symlink, so neither a link already in the target nor one stored in the package can carry a file
anywhere else.
"""

from __future__ import annotations

import contextlib
import os
import resource
import stat
import sys
import tempfile
import time
from dataclasses import dataclass, field

from qvc_cli import line_ends
from qvc_cli.failures import Failure, counted, listed
from qvc_cli.file_kinds import require_package
from qvc_cli.manifest import DirectoryEntry, FileEntry, LinkEntry, Manifest, read_from_package
from qvc_cli.package_problems import decoding_failure, describe
from qvc_cli.package_reader import PackageError
from qvc_cli.packing import fresh_compressor
from qvc_cli.progress import Phase, Progress, bytes_read, bytes_written, running_totals, wanted
from qvc_cli.restored_files import RESTORED_MODE_BITS, ExpectedFiles
from qvc_cli.selection import select, with_parents
from qvc_cli.side_process import beside_the_compressor
from qvc_cli.staging import Placement, opened_directory, private_directory, record_completed, signals_deferred
from qvc_cli.streams import copy_to_standard_output, package_argument
from qvc_cli.transaction import Transaction


@dataclass
class Staged:
    """A package restored into a private directory, checked, not yet in place."""

    directory: str
    names: list[str]  # the package's own names of its files, as restored
    damaged: list[str] = field(default_factory=list)  # paths of files that fail their check


def _written_size(entry: FileEntry) -> int:
    """How many bytes the decoder writes for a file: each CR LF comes out as one LF."""
    crlf = sum(element >> 2 for element in entry.line_ends or () if element & 3 == line_ends.CRLF)
    return entry.size - crlf


def stage(package: str, work: str, manifest: Manifest | None, apply_metadata: bool, shown: str | None = None,
          files: list[FileEntry] | None = None, progress: Progress | None = None) -> Staged:
    """Restores `package` into `work`/files and checks `files` (by default every file of the
    manifest) against their digests."""
    shown = shown or package
    progress = progress or Progress(False)
    directory = os.path.join(work, "files")
    if files is None:
        files = manifest.files if manifest is not None else []
    checker = None
    if files:
        # Files are checked on the other processor while the decoder writes the next ones.
        expected = ExpectedFiles(
            [entry.name_in_package for entry in files], [entry.size for entry in files],
            [entry.digest for entry in files],
            {i: entry.line_ends for i, entry in enumerate(files) if entry.line_ends is not None},
            [entry.mode for entry in files], [entry.mtime_ns for entry in files])
        checker = beside_the_compressor(("check", directory, expected, apply_metadata), work)
        checker.start()
    written = running_totals([_written_size(entry) for entry in manifest.files]) if manifest is not None else None
    try:
        try:
            with progress.stage(Phase("reading", bytes_read, os.path.getsize(package)), Phase("decoding"),
                                Phase("writing", bytes_written, written[-1] if written else None, written)):
                names = fresh_compressor().decode_package(package, directory)
        except MemoryError:
            raise Failure(f"{shown}: out of memory while restoring it "
                          f"({os.path.getsize(package) / 1e6:,.1f} MB)") from None
        except OSError as error:
            raise _restoring_error(error, directory, files) from None
        except Exception as error:  # the unpickler's, the decompressor's, the decoder's
            raise decoding_failure(package, shown, error) from None
        damaged = []
        if checker is not None:
            sizes = running_totals([entry.size for entry in files])
            with progress.stage(Phase("checking", checker.bytes_read, sizes[-1], sizes)):
                damaged = [os.fsdecode(files[i].path) for i in checker.result()]
    finally:
        if checker is not None:
            checker.cancel()
    staged = Staged(directory, names)
    if manifest is not None:
        if names != manifest.names_in_package:
            damaged = damaged or ["the package's file list"]
        staged.damaged = damaged
    return staged


def _restoring_error(error: OSError, directory: str, files: list[FileEntry]) -> Failure:
    """An error of the decoder names a file in the private directory, or none (a failed write):
    name the file being restored."""
    flat = None
    if isinstance(error.filename, str) and error.filename.startswith(directory + os.sep):
        flat = error.filename[len(directory) + 1:]
    elif files:
        # Files are written in order: the last one there is the one being written.
        written = [entry for entry in files if os.path.lexists(os.path.join(directory, entry.name_in_package))]
        flat = written[-1].name_in_package if written else None
    stored = next((os.fsdecode(e.path) for e in files if e.name_in_package == flat), flat)
    where = stored if stored is not None else error.filename or directory
    return Failure(f"{where}: {error.strerror or error} (while restoring it); nothing restored")


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
        raise Failure(f"{target}: {counted(len(replaceable), 'file')} exist already ({listed(replaceable)}); "
                      "use --force to replace them or choose another directory with -o")


class _TreeWriter:
    """Moves staged files into `target` along descriptors, never through a symlink."""

    def __init__(self, target_fd: int, work_fd: int, files_fd: int, placement: Placement, force: bool):
        self.placement = placement
        self.force = force
        self.work_fd = work_fd
        self.files_fd = files_fd
        self.directories: dict[bytes, int] = {b"": target_fd}
        self.created: list[tuple[bytes, int]] = []

    def close(self) -> None:
        for path, fd in self.directories.items():
            if path:
                os.close(fd)

    def directory(self, path: bytes) -> int:
        fd = self.directories.get(path)
        if fd is not None:
            return fd
        parent, _, name = path.rpartition(b"/")
        parent_fd = self.directory(parent)
        made = self.placement.make_directory(parent_fd, name, replace=self.force, backup_fd=self.work_fd)
        fd = os.open(name, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW, dir_fd=parent_fd)
        self.directories[path] = fd
        if made:
            self.created.append((path, fd))
        return fd

    def place(self, source_fd: int, source: str, path: bytes) -> None:
        parent, _, name = path.rpartition(b"/")
        parent_fd = self.directories.get(parent)
        if parent_fd is None:
            parent_fd = self.directory(parent)
        self.placement.move(source_fd, source, parent_fd, name, replace=self.force, backup_fd=self.work_fd)


def _allow_open_directories(count: int) -> None:
    """Every directory of the tree stays open while files are moved (the undo journal names
    them by descriptor): raise the soft limit on open files as far as needed and allowed."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    needed = count + 64
    if needed <= soft:
        return
    if hard != resource.RLIM_INFINITY and needed > hard:
        raise Failure(f"the package's tree has {count:,} directories; this system lets a process "
                      f"hold only {hard:,} files open at once")
    resource.setrlimit(resource.RLIMIT_NOFILE, (needed, hard))


def _directory_count(manifest: Manifest) -> int:
    directories = set()
    for entry in manifest.entries:
        parent = entry.path if isinstance(entry, DirectoryEntry) else entry.path.rpartition(b"/")[0]
        while parent and parent not in directories:
            directories.add(parent)
            parent = parent.rpartition(b"/")[0]
    return len(directories)


def _commit_tree(staged: Staged, manifest: Manifest, target: str, work: str, force: bool,
                 chosen: set[int] | None = None) -> None:
    """Puts the staged tree in place: every entry, or those whose indices are `chosen`."""
    _allow_open_directories(_directory_count(manifest))
    links = os.path.join(work, "links")
    os.mkdir(links)
    file_names = iter(staged.names)
    directory_metadata: dict[bytes, DirectoryEntry] = {}
    entry: DirectoryEntry | FileEntry | LinkEntry | None = None
    with signals_deferred(), contextlib.ExitStack() as stack:
        target_fd = stack.enter_context(opened_directory(target))
        work_fd = stack.enter_context(opened_directory(work))
        files_fd = stack.enter_context(opened_directory(staged.directory))
        links_fd = stack.enter_context(opened_directory(links))
        transaction = Transaction()
        writer = _TreeWriter(target_fd, work_fd, files_fd, Placement(transaction), force)
        stack.callback(writer.close)
        # Entered last, so undone while the directories are still open.
        stack.enter_context(transaction)
        try:
            for number, entry in enumerate(manifest.entries):
                if isinstance(entry, FileEntry):
                    name = next(file_names)
                    if chosen is None or number in chosen:
                        writer.place(files_fd, name, entry.path)
                elif chosen is not None and number not in chosen:
                    continue
                elif isinstance(entry, DirectoryEntry):
                    writer.directory(entry.path)
                    directory_metadata[entry.path] = entry
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
        for path, fd in sorted(writer.created, key=lambda item: item[0].count(b"/"), reverse=True):
            entry = directory_metadata.get(path)
            if entry is not None:
                os.chmod(fd, entry.mode & RESTORED_MODE_BITS)
                os.utime(fd, ns=(entry.mtime_ns, entry.mtime_ns))
        record_completed(f"everything was restored into {target}")


def _commit_flat(staged: Staged, names: list[str], target: str, work: str, force: bool) -> None:
    name = ""
    with signals_deferred(), contextlib.ExitStack() as stack:
        target_fd = stack.enter_context(opened_directory(target))
        work_fd = stack.enter_context(opened_directory(work))
        files_fd = stack.enter_context(opened_directory(staged.directory))
        placement = Placement(stack.enter_context(Transaction()))
        try:
            for name in dict.fromkeys(names):
                placement.move(files_fd, name, target_fd, name, replace=force, backup_fd=work_fd)
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


def _open_package(package: str, shown: str, with_manifest: bool = True) -> Manifest | None:
    """The package's manifest, after checking that `package` is a package at all."""
    require_package(package, shown)
    if not with_manifest:
        return None
    try:
        return read_from_package(package)
    except PackageError as error:
        raise Failure(f"{shown}: {error}") from None


def _stored_paths(package: str, shown: str, manifest: Manifest | None) -> list[str]:
    """The paths a selection is matched against: the manifest's, or the package's own names."""
    if manifest is not None:
        return [os.fsdecode(entry.path) for entry in manifest.entries]
    names = describe(package, shown).layout.names or []
    return [name if isinstance(name, str) else "" for name in names]


def _choose(package: str, shown: str, manifest: Manifest | None, patterns: list[str]) -> list[int]:
    """The indices of the entries (of the manifest, or of the package's names) to restore;
    Failure naming the patterns that match nothing, as nothing is then restored."""
    paths = _stored_paths(package, shown, manifest)
    chosen, unmatched = select(paths, patterns)
    if unmatched:
        raise Failure(f"{shown}: not in the package: {listed(unmatched)}; nothing restored")
    return with_parents(paths, chosen) if manifest is not None else chosen


@dataclass
class UnpackResult:
    target: str
    manifest: Manifest | None
    names: list[str]
    restored: list[str]  # the stored paths put in place, files first in package order
    chosen: bool = False  # whether a selection was restored


def unpack(package: str, output: str | None, force: bool, with_manifest: bool = True, patterns: list[str] = (),
           shown: str | None = None, progress: Progress | None = None) -> UnpackResult:
    """Restores `package` into `output` (default: a new directory named after it); with
    `patterns`, only the entries they match. Without `with_manifest` (only to measure what it
    costs) the package is taken for one without."""
    shown = shown or package
    manifest = _open_package(package, shown, with_manifest)
    chosen = _choose(package, shown, manifest, list(patterns)) if patterns else None
    target = output or default_output_dir(package)
    occupied = False
    if os.path.lexists(target):
        if not os.path.isdir(target):
            raise Failure(f"{target}: exists and is not a directory; choose another with -o")
        occupied = os.path.islink(target) or not _is_empty_directory(target)
        if output is None and occupied:
            raise Failure(f"{target}: exists and is not empty; choose another directory with -o")
    entries = None
    if manifest is not None:
        entries = manifest.entries if chosen is None else [manifest.entries[i] for i in chosen]
        if occupied:
            refuse_conflicts(target, entries, force)
    with _target_directory(target), private_directory(target, "unpack") as work:
        files = None if entries is None else [entry for entry in entries if isinstance(entry, FileEntry)]
        staged = stage(package, work, manifest, True, shown, files, progress)
        if staged.damaged:
            raise Failure(f"{shown}: damaged, {counted(len(staged.damaged), 'file')} not as packed "
                          f"({listed(staged.damaged)}); nothing restored")
        if manifest is not None:
            _commit_tree(staged, manifest, target, work, force, None if chosen is None else set(chosen))
            restored = [os.fsdecode(entry.path) for entry in entries]
        else:
            names = staged.names if chosen is None else [staged.names[i] for i in chosen if i < len(staged.names)]
            if occupied:
                refuse_conflicts(target, list(dict.fromkeys(names)), force)
            _commit_flat(staged, names, target, work, force)
            restored = list(dict.fromkeys(names))
    return UnpackResult(target, manifest, staged.names, restored, chosen is not None)


def write_to_standard_output(package: str, patterns: list[str], shown: str, progress: Progress) -> list[str]:
    """Writes the text of the files `patterns` match (every file without patterns), in package
    order, each checked against its digest before a single byte is written. Returns their paths."""
    manifest = _open_package(package, shown)
    if patterns:
        chosen = _choose(package, shown, manifest, patterns)
    else:
        chosen = list(range(len(manifest.entries if manifest is not None else _stored_paths(package, shown, None))))
    with private_directory(tempfile.gettempdir(), "extract") as work:
        if manifest is not None:
            files = [manifest.entries[i] for i in chosen if isinstance(manifest.entries[i], FileEntry)]
            if not files:
                raise Failure(f"{shown}: {listed(patterns)} match no file, only directories or links")
            staged = stage(package, work, manifest, False, shown, files, progress)
            if staged.damaged:
                raise Failure(f"{shown}: damaged, {counted(len(staged.damaged), 'file')} not as packed "
                              f"({listed(staged.damaged)}); nothing written")
            names = [entry.name_in_package for entry in files]
            paths = [os.fsdecode(entry.path) for entry in files]
        else:
            staged = stage(package, work, None, False, shown, None, progress)
            names = paths = [staged.names[i] for i in chosen if i < len(staged.names)]
        for name in names:
            copy_to_standard_output(os.path.join(staged.directory, name))
    return paths


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
    if args.verbose:
        for path in result.restored:
            print(path)
    if args.quiet:
        return 0
    seconds = time.perf_counter() - started
    names = result.names
    if result.manifest is None:
        repeated = len(names) - len(set(names))
        note = f"; {repeated:,} names repeat, the last file of each name kept" if repeated else ""
        print(f"restored {counted(len(result.restored), 'file')} into {result.target}, {seconds:.2f} s; "
              f"the package has no manifest: no digests to verify, names flat{note}")
    else:
        entries = result.manifest.entries
        if result.chosen:
            restored = set(result.restored)
            entries = [entry for entry in entries if os.fsdecode(entry.path) in restored]
        files = sum(isinstance(entry, FileEntry) for entry in entries)
        directories = sum(isinstance(entry, DirectoryEntry) for entry in entries)
        links = sum(isinstance(entry, LinkEntry) for entry in entries)
        of = f" (of {len(names):,} in the package)" if result.chosen else ""
        print(f"restored {counted(files, 'file')}{of}, {counted(directories, 'directory', 'directories')} "
              f"and {counted(links, 'link')} "
              f"into {result.target}, every digest verified, {seconds:.2f} s")
    return 0


def run_check(args) -> int:
    with contextlib.ExitStack() as stack:
        progress = stack.enter_context(Progress(wanted(args.quiet)))
        package, shown = package_argument(stack, args.package, progress)
        manifest = _open_package(package, shown)
        with private_directory(tempfile.gettempdir(), "check") as work:
            staged = stage(package, work, manifest, False, shown, progress=progress)
        progress.stop()
    if staged.damaged:
        raise Failure(f"{shown}: damaged, {counted(len(staged.damaged), 'file')} not as packed "
                      f"({listed(staged.damaged)})")
    if args.verbose:
        for path in ([os.fsdecode(entry.path) for entry in manifest.files] if manifest else staged.names):
            print(path)
    if args.quiet:
        return 0
    if manifest is None:
        print(f"{shown}: decodes, {counted(len(staged.names), 'file')}; no manifest, so no digests "
              "to compare")
    else:
        print(f"{shown}: intact, {counted(len(staged.names), 'file')}, every digest matches")
    return 0
