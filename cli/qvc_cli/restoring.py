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
import tempfile
import time
from dataclasses import dataclass, field

from qvc_cli.failures import Failure, counted, listed
from qvc_cli.manifest import DirectoryEntry, FileEntry, LinkEntry, Manifest, read_from_package
from qvc_cli.packing import fresh_compressor
from qvc_cli.package_reader import PackageError
from qvc_cli.restored_files import RESTORED_MODE_BITS, ExpectedFiles
from qvc_cli.side_process import beside_the_compressor
from qvc_cli.staging import Placement, opened_directory, private_directory, signals_deferred


@dataclass
class Staged:
    """A package restored into a private directory, checked, not yet in place."""

    directory: str
    names: list[str]  # the package's own names of its files, as restored
    damaged: list[str] = field(default_factory=list)  # paths of files that fail their check


def stage(package: str, work: str, manifest: Manifest | None, apply_metadata: bool) -> Staged:
    directory = os.path.join(work, "files")
    files = manifest.files if manifest is not None else []
    checker = None
    if files:
        # Files are checked on the other processor while the decoder writes the next ones.
        expected = ExpectedFiles(
            manifest.names_in_package, [entry.size for entry in files], [entry.digest for entry in files],
            {i: entry.line_ends for i, entry in enumerate(files) if entry.line_ends is not None},
            [entry.mode for entry in files], [entry.mtime_ns for entry in files])
        checker = beside_the_compressor(("check", directory, expected, apply_metadata), work)
        checker.start()
    try:
        try:
            names = fresh_compressor().decode_package(package, directory)
        except OSError as error:
            raise _restoring_error(error, directory, files) from None
        except Exception as error:  # the unpickler's, the decompressor's, the decoder's
            raise Failure(f"{package}: damaged or not a package: {error}") from None
        damaged = [os.fsdecode(files[i].path) for i in checker.result()] if checker is not None else []
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


def _commit_tree(staged: Staged, manifest: Manifest, target: str, work: str, force: bool) -> None:
    _allow_open_directories(_directory_count(manifest))
    links = os.path.join(work, "links")
    os.mkdir(links)
    file_names = iter(staged.names)
    directory_metadata: dict[bytes, DirectoryEntry] = {}
    with signals_deferred(), contextlib.ExitStack() as stack:
        target_fd = stack.enter_context(opened_directory(target))
        work_fd = stack.enter_context(opened_directory(work))
        files_fd = stack.enter_context(opened_directory(staged.directory))
        links_fd = stack.enter_context(opened_directory(links))
        placement = Placement()
        writer = _TreeWriter(target_fd, work_fd, files_fd, placement, force)
        stack.callback(writer.close)
        entry: DirectoryEntry | FileEntry | LinkEntry | None = None
        try:
            for number, entry in enumerate(manifest.entries):
                if isinstance(entry, FileEntry):
                    writer.place(files_fd, next(file_names), entry.path)
                elif isinstance(entry, DirectoryEntry):
                    writer.directory(entry.path)
                    directory_metadata[entry.path] = entry
                else:
                    staged_link = str(number)
                    os.symlink(entry.target, staged_link, dir_fd=links_fd)
                    os.utime(staged_link, ns=(entry.mtime_ns, entry.mtime_ns), dir_fd=links_fd,
                             follow_symlinks=False)
                    writer.place(links_fd, staged_link, entry.path)
        except FileExistsError:
            placement.undo()
            where = os.path.join(target, os.fsdecode(entry.path)) if entry is not None else target
            raise Failure(f"{where}: appeared while restoring; nothing restored") from None
        except OSError as error:
            placement.undo()
            where = os.path.join(target, os.fsdecode(entry.path)) if entry is not None else target
            raise Failure(f"{where}: {error.strerror}; nothing restored") from None
        except BaseException:
            placement.undo()
            raise
        # Last, deepest first: a directory's time changes with every entry made in it.
        for path, fd in sorted(writer.created, key=lambda item: item[0].count(b"/"), reverse=True):
            entry = directory_metadata.get(path)
            if entry is not None:
                os.chmod(fd, entry.mode & RESTORED_MODE_BITS)
                os.utime(fd, ns=(entry.mtime_ns, entry.mtime_ns))


def _commit_flat(staged: Staged, target: str, work: str, force: bool) -> None:
    with signals_deferred(), contextlib.ExitStack() as stack:
        target_fd = stack.enter_context(opened_directory(target))
        work_fd = stack.enter_context(opened_directory(work))
        files_fd = stack.enter_context(opened_directory(staged.directory))
        placement = Placement()
        name = ""
        try:
            for name in dict.fromkeys(staged.names):
                placement.move(files_fd, name, target_fd, name, replace=force, backup_fd=work_fd)
        except FileExistsError:
            placement.undo()
            raise Failure(f"{os.path.join(target, name)}: appeared while restoring; "
                          "nothing restored") from None
        except OSError as error:
            placement.undo()
            raise Failure(f"{os.path.join(target, name)}: {error.strerror}; nothing restored") from None
        except BaseException:
            placement.undo()
            raise


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
    try:
        for directory in reversed(made):
            os.mkdir(directory)
    except OSError as error:
        _remove_empty(made)
        raise Failure(f"{target}: cannot make the directory: {error.strerror}") from None
    try:
        yield
    except BaseException:
        with signals_deferred():
            _remove_empty(made)
        raise


def _remove_empty(directories: list[str]) -> None:
    for directory in directories:
        with contextlib.suppress(OSError):
            os.rmdir(directory)


def _open_package(package: str, with_manifest: bool = True) -> Manifest | None:
    """The package's manifest, after checking that `package` is a file at all."""
    if not os.path.exists(package):
        raise Failure(f"{package}: no such package")
    if not os.path.isfile(package):
        raise Failure(f"{package}: not a package (not a regular file)")
    if not with_manifest:
        return None
    try:
        return read_from_package(package)
    except PackageError as error:
        raise Failure(f"{package}: {error}") from None


@dataclass
class UnpackResult:
    target: str
    manifest: Manifest | None
    names: list[str]


def unpack(package: str, output: str | None, force: bool, with_manifest: bool = True) -> UnpackResult:
    """Restores `package` into `output` (default: a new directory named after it). Without
    `with_manifest` (only to measure what it costs) the package is taken for one without."""
    manifest = _open_package(package, with_manifest)
    target = output or default_output_dir(package)
    occupied = False
    if os.path.lexists(target):
        if not os.path.isdir(target):
            raise Failure(f"{target}: exists and is not a directory; choose another with -o")
        occupied = os.path.islink(target) or not _is_empty_directory(target)
        if output is None and occupied:
            raise Failure(f"{target}: exists and is not empty; choose another directory with -o")
    if manifest is not None and occupied:
        refuse_conflicts(target, manifest.entries, force)
    with _target_directory(target), private_directory(target, "unpack") as work:
        staged = stage(package, work, manifest, apply_metadata=True)
        if staged.damaged:
            raise Failure(f"{package}: damaged, {counted(len(staged.damaged), 'file')} not as packed "
                          f"({listed(staged.damaged)}); nothing restored")
        if manifest is not None:
            _commit_tree(staged, manifest, target, work, force)
        else:
            if occupied:
                refuse_conflicts(target, list(dict.fromkeys(staged.names)), force)
            _commit_flat(staged, target, work, force)
    return UnpackResult(target, manifest, staged.names)


def run_unpack(args) -> int:
    started = time.perf_counter()
    result = unpack(args.package, args.output, args.force)
    seconds = time.perf_counter() - started
    names = result.names
    if result.manifest is None:
        repeated = len(names) - len(set(names))
        note = f"; {repeated:,} names repeat, the last file of each name kept" if repeated else ""
        print(f"restored {counted(len(set(names)), 'file')} into {result.target}, {seconds:.2f} s; "
              f"the package has no manifest: no digests to verify, names flat{note}")
    else:
        entries = result.manifest.entries
        directories = sum(isinstance(entry, DirectoryEntry) for entry in entries)
        links = sum(isinstance(entry, LinkEntry) for entry in entries)
        print(f"restored {counted(len(names), 'file')}, {counted(directories, 'directory', 'directories')} "
              f"and {counted(links, 'link')} "
              f"into {result.target}, every digest verified, {seconds:.2f} s")
    return 0


def run_check(args) -> int:
    manifest = _open_package(args.package)
    with private_directory(tempfile.gettempdir(), "check") as work:
        staged = stage(args.package, work, manifest, apply_metadata=False)
    if staged.damaged:
        raise Failure(f"{args.package}: damaged, {counted(len(staged.damaged), 'file')} not as packed "
                      f"({listed(staged.damaged)})")
    if manifest is None:
        print(f"{args.package}: decodes, {counted(len(staged.names), 'file')}; no manifest, so no digests "
              "to compare")
    else:
        print(f"{args.package}: intact, {counted(len(staged.names), 'file')}, every digest matches")
    return 0
