"""`qvc pack`: a tree of text files into one package, written whole or not at all.

The library's `encode_files` names each file by its base name and reads it as text with
universal newlines. Around it this adds what an archiver owes its user: unique names for files
whose base names clash (the encoder is handed a link of the unique name), the manifest with
each file's path, mode, time, line ends and digest, and writing under the final name only once
the package (and the grown dictionary, if any) is complete on the disk.
"""

from __future__ import annotations

import contextlib
import os
import stat
import sys
import tempfile
import time
from dataclasses import dataclass, field

from qvc_cli.digests import Fingerprint, fingerprint_file
from qvc_cli.dictionary_file import check_dictionary_file, dictionary_locked
from qvc_cli.failures import Failure, counted
from qvc_cli.input_tree import InputEntry, InputTree, WalkOptions, flat_names, walk_inputs
from qvc_cli.manifest import DirectoryEntry, FileEntry, HardLinkEntry, LinkEntry, Manifest, append_to_package
from qvc_cli.package_format import facts_of_written_package
from qvc_cli.progress import Phase, Progress, bytes_read, bytes_written, running_totals, wanted
from qvc_cli.streams import (STANDARD_INPUT, STANDARD_OUTPUT, copy_standard_input, copy_to_standard_output,
                             refuse_terminal_output, temporary_directory_named)
from qvc_cli.staging import (Placement, fsync_file, opened_directory, private_directory, record_completed,
                             signals_deferred)
from qvc_cli.transaction import Transaction
from qvc_compressor import QVCompressor


def fresh_compressor() -> QVCompressor:
    """A compressor with an empty vocabulary that reads and writes no dictionary file."""
    compressor = QVCompressor.__new__(QVCompressor)
    compressor.global_dict = {}
    compressor.inverse_dict = {}
    compressor.next_id = 1
    return compressor


@dataclass
class PackOptions:
    output: str
    level: int = 6
    threads: int = 4
    force: bool = False
    skip_invalid: bool = False
    dictionary: str | None = None  # resolved path of the dictionary file, if any
    dereference: bool = False  # whether the tree was walked following symlinks
    with_manifest: bool = True  # off only to measure what the manifest costs
    progress: Progress | None = None

    @property
    def to_standard_output(self) -> bool:
        return self.output == "-"


@dataclass
class PackResult:
    files: list[InputEntry]
    directories: int
    links: int
    input_bytes: int
    package_bytes: int
    not_utf8: list[str] = field(default_factory=list)


def check_output(output: str, arguments: list[str], force: bool) -> None:
    """OUTPUT may replace an existing file only with --force, and never an input (the classic
    `qvc pack notes.txt todo.txt`). Inside an input directory it is left out of the walk, as
    tar leaves out its archive."""
    parent = os.path.dirname(os.path.abspath(output))
    if not os.path.isdir(parent):
        raise Failure(f"{output}: no such directory: {os.path.dirname(output) or '.'}")
    real_output = os.path.realpath(output)
    for argument in arguments:
        if real_output == os.path.realpath(argument):
            raise Failure(f"{output}: is one of the inputs; name the package to write first")
    if os.path.isdir(output):
        raise Failure(f"{output}: is a directory; name the package to write first")
    if os.path.lexists(output) and not force:
        raise Failure(f"{output}: exists already; use --force to replace it")


def package_to_leave_out(output: str) -> tuple[tuple[int, int], str] | None:
    """The package that --force replaces, as the walk recognises it: identity and real path."""
    try:
        info = os.stat(output)
    except OSError:
        return None
    return (info.st_dev, info.st_ino), os.path.realpath(output)


def refuse_output_linked_to_an_input(output: str, tree: InputTree) -> None:
    """A hard link of an input, under another name, is that input too."""
    try:
        info = os.stat(output)
    except OSError:
        return
    inputs = {(entry.info.st_dev, entry.info.st_ino) for entry in tree.files}
    if (info.st_dev, info.st_ino) in inputs:
        raise Failure(f"{output}: is one of the inputs (a link to it); name the package to write first")


def refuse_standard_output_among_inputs(tree: InputTree) -> None:
    """`qvc pack - dir > dir/out.qvc` would read the package as it is written."""
    try:
        info = os.fstat(sys.stdout.fileno())
    except (OSError, ValueError, AttributeError):
        return
    if any((entry.info.st_dev, entry.info.st_ino) == (info.st_dev, info.st_ino) for entry in tree.files):
        raise Failure(f"{STANDARD_OUTPUT}: is one of the inputs; write the package elsewhere")


def first_invalid_utf8(path: str) -> int | None:
    """The offset of the first byte of `path` that is not UTF-8, or None if it all is."""
    with open(path, "rb") as f:
        data = f.read()
    try:
        data.decode("utf-8")
    except UnicodeDecodeError as error:
        return error.start
    return None


class _Encoding:
    """One `encode_files` call over the tree's files, retried without the files that turn out
    not to be UTF-8 when the caller asked to skip them."""

    def __init__(self, files: list[InputEntry], links: str) -> None:
        self.files = files
        self.names = flat_names(files)
        self.paths: list[str] = []
        for entry, name in zip(files, self.names):
            if os.path.basename(entry.source) == name:
                self.paths.append(entry.source)
            else:
                link = os.path.join(links, name)
                os.symlink(os.path.abspath(entry.source), link)
                self.paths.append(link)
        self.sources = dict(zip(self.paths, (entry.label for entry in files)))

    def run(self, compressor: QVCompressor, package: str, options: PackOptions) -> tuple[list[int], list[str]]:
        """Encodes; returns the indices of the files packed and "PATH: why" for those skipped."""
        kept = list(range(len(self.files)))
        skipped: list[str] = []
        progress = options.progress or Progress(False)
        while True:
            sizes = [self.files[i].info.st_size for i in kept]
            try:
                with progress.stage(Phase("packing", bytes_read, sum(sizes), running_totals(sizes)),
                                    Phase("compressing"),
                                    Phase("writing", bytes_written, threshold=WRITING_BEGUN)):
                    compressor.encode_files([self.paths[i] for i in kept], package, options.level, options.threads)
                return kept, skipped
            except UnicodeDecodeError as error:
                with progress.stage(Phase("finding the files that are not UTF-8", bytes_read, sum(sizes),
                                          running_totals(sizes))):
                    invalid = self._find_invalid(kept, first_only=not options.skip_invalid)
                if not invalid:
                    raise Failure(f"an input is not UTF-8 text ({error.reason})") from None
                if not options.skip_invalid:
                    index, offset = invalid[0]
                    raise Failure(f"{self.files[index].label}: not UTF-8 text (invalid byte at "
                                  f"offset {offset}); --skip-invalid leaves such files out") from None
                skipped += [f"{self.files[i].label}: not UTF-8 text (invalid byte at offset {offset})"
                            for i, offset in invalid]
                dropped = {i for i, _ in invalid}
                kept = [i for i in kept if i not in dropped]
            except OSError as error:
                if error.filename in self.sources:
                    error.filename = self.sources[error.filename]
                raise

    def _find_invalid(self, indices: list[int], first_only: bool) -> list[tuple[int, int]]:
        found = []
        for index in indices:
            offset = first_invalid_utf8(self.files[index].source)
            if offset is not None:
                found.append((index, offset))
                if first_only:
                    break
        return found


# The encoder puts down the package's first bytes before it compresses: writing has begun only
# once this much has been written.
WRITING_BEGUN = 1 << 20


def link_directory() -> str:
    """Memory-backed /dev/shm where the system has it, else the temporary directory."""
    shm = "/dev/shm"
    if os.path.isdir(shm) and os.access(shm, os.W_OK | os.X_OK):
        return shm
    return tempfile.gettempdir()


def _unchanged(entry: InputEntry, fingerprint: Fingerprint | None, dereference: bool) -> bool:
    before = entry.info
    try:
        after = os.stat(entry.source) if dereference else os.lstat(entry.source)
    except OSError:
        return False
    same = (after.st_ino, after.st_size, after.st_mtime_ns) == (before.st_ino, before.st_size, before.st_mtime_ns)
    if fingerprint is not None:
        same = same and fingerprint.identity == (before.st_dev, before.st_ino) and fingerprint.size == before.st_size
    return same


def build_manifest(tree: InputTree, packed: set[int], fingerprints: list[Fingerprint | None],
                   names: list[str], package: str, vocabulary_entries: int) -> Manifest:
    entries: list = []
    file_index = 0
    files = tree.files
    packed_paths = {files[i].stored for i in packed}
    for entry in tree.entries:
        info = entry.info
        if entry.kind == "file":
            if file_index in packed:
                fp = fingerprints[file_index]
                name = os.fsencode(names[file_index])
                renamed = None if entry.stored.rsplit(b"/", 1)[-1] == name else name
                entries.append(FileEntry(entry.stored, stat.S_IMODE(info.st_mode), info.st_mtime_ns,
                                         fp.size, fp.digest, fp.line_ends, renamed))
            file_index += 1
        elif entry.kind == "dir":
            entries.append(DirectoryEntry(entry.stored, stat.S_IMODE(info.st_mode), info.st_mtime_ns))
        elif entry.kind == "hardlink":
            if entry.link_target in packed_paths:
                entries.append(HardLinkEntry(entry.stored, entry.link_target))
        else:
            entries.append(LinkEntry(entry.stored, info.st_mtime_ns, entry.link_target))
    return Manifest(entries, *facts_of_written_package(package, vocabulary_entries))


def _save_dictionary(compressor: QVCompressor, work: str, dictionary: str) -> None:
    """The grown vocabulary, complete on the disk under `work`, with the old file's mode."""
    staged = os.path.join(work, "dictionary")
    final_path = compressor.dict_path
    compressor.dict_path = staged
    try:
        compressor.save_dict()
    finally:
        compressor.dict_path = final_path
    with contextlib.suppress(FileNotFoundError):
        os.chmod(staged, stat.S_IMODE(os.stat(dictionary).st_mode))
    fsync_file(staged)


def _commit(work: str, options: PackOptions, dictionary_work: str | None) -> None:
    """Moves the package, and the dictionary if any, to their final names: both or neither.
    A package for standard output is written there first, and the dictionary only saved once
    all of it has gone out."""
    if options.to_standard_output:
        progress = options.progress or Progress(False)
        package = os.path.join(work, "package")
        with progress.stage(Phase("writing", bytes_written, os.path.getsize(package))):
            copy_to_standard_output(package)
    dictionary = options.dictionary or ""
    with signals_deferred(), contextlib.ExitStack() as stack:
        try:
            work_fd = stack.enter_context(opened_directory(work))
            if dictionary_work is not None:
                dict_work_fd = stack.enter_context(opened_directory(dictionary_work))
                dict_fd = stack.enter_context(opened_directory(os.path.dirname(dictionary)))
            if not options.to_standard_output:
                output = os.path.abspath(options.output)
                out_fd = stack.enter_context(opened_directory(os.path.dirname(output)))
            # Entered last: a failure takes back every move while the directories are open.
            placement = Placement(stack.enter_context(Transaction()))
            if dictionary_work is not None:
                placement.move(dict_work_fd, "dictionary", dict_fd, os.path.basename(dictionary),
                               replace=True, backup_fd=dict_work_fd)
            if not options.to_standard_output:
                try:
                    placement.move(work_fd, "package", out_fd, os.path.basename(output),
                                   replace=options.force, backup_fd=work_fd)
                except FileExistsError:
                    raise Failure(f"{options.output}: exists already; use --force to replace it") from None
                os.fsync(out_fd)
            if dictionary_work is not None:
                os.fsync(dict_fd)
        except OSError as error:
            if options.to_standard_output:
                raise Failure(f"{options.dictionary}: cannot be saved: {error.strerror}; the package "
                              "written to standard output is complete") from None
            raise Failure(f"{options.output}: cannot be put in place: {error.strerror}; nothing "
                          "changed") from None
        record_completed("the package went to standard output in full" if options.to_standard_output
                         else f"{options.output} was written in full")
        if dictionary_work is not None:
            record_completed(f"{options.dictionary} was saved")


def _names_of_left_out_files(tree: InputTree, kept: list[int]) -> list[str]:
    """Hard links to files that were left out go with them: "PATH: why"."""
    files = tree.files
    left_out = {files[i].stored for i in set(range(len(files))) - set(kept)}
    return [f"{entry.label}: another name of {os.fsdecode(entry.link_target)}, which was left out"
            for entry in tree.entries if entry.kind == "hardlink" and entry.link_target in left_out]


def pack(tree: InputTree, compressor: QVCompressor, options: PackOptions) -> PackResult:
    files = tree.files
    if options.to_standard_output:
        output_dir = tempfile.gettempdir()
    else:
        output_dir = os.path.dirname(os.path.abspath(options.output))
    # Where a failure to write the package is said to be: the user's path, or the temporary
    # directory that a package for standard output is written to first.
    where = temporary_directory_named(output_dir) if options.to_standard_output else options.output
    progress = options.progress or Progress(False)
    with contextlib.ExitStack() as stack:
        try:
            work = stack.enter_context(private_directory(output_dir, "pack"))
        except OSError as error:
            raise Failure(f"{where}: cannot be written: {error.strerror}") from None
        package = os.path.join(work, "package")
        # The links that give clashing files unique names live where links are cheap to make
        # and remove (on a disk, each costs an inode, and a long target a block).
        links = stack.enter_context(private_directory(link_directory(), "names"))
        encoding = _Encoding(files, links)
        try:
            kept, not_utf8 = encoding.run(compressor, package, options)
            not_utf8 += _names_of_left_out_files(tree, kept)
        except OSError as error:
            if error.filename is None or str(error.filename).startswith(work + os.sep):
                error.filename = where  # writing the package failed
            raise
        # Taken here, after the compressor: a second process taking them meanwhile saved less
        # than 5% (1.03 to 1.05 at two loads), which a shared machine does not give reliably.
        fingerprints: list[Fingerprint | None] = [None] * len(files)
        if options.with_manifest:
            sizes = [files[index].info.st_size for index in kept]
            with progress.stage(Phase("taking digests", bytes_read, sum(sizes), running_totals(sizes))):
                for index in kept:
                    try:
                        fingerprints[index] = fingerprint_file(files[index].source)
                    except OSError as error:
                        error.filename = files[index].label
                        raise
        for index in kept:
            fingerprint = fingerprints[index]
            if not _unchanged(files[index], fingerprint, options.dereference):
                raise Failure(f"{files[index].label}: changed while it was being packed; nothing written")
        stack.enter_context(progress.stage(Phase("finishing")))
        try:
            if options.with_manifest:
                manifest = build_manifest(tree, set(kept), fingerprints, encoding.names, package,
                                          len(compressor.global_dict))
                append_to_package(package, manifest.payload())
            else:
                fsync_file(package)
        except OSError as error:
            error.filename = where
            raise
        dictionary_work = None
        if options.dictionary is not None:
            dictionary_work = stack.enter_context(
                private_directory(os.path.dirname(options.dictionary), "dictionary"))
            _save_dictionary(compressor, dictionary_work, options.dictionary)
        package_bytes = os.path.getsize(package)
        _commit(work, options, dictionary_work)
    packed = [files[i] for i in kept]
    return PackResult(
        files=packed,
        directories=sum(1 for entry in tree.entries if entry.kind == "dir"),
        links=sum(1 for entry in tree.entries if entry.kind in ("link", "hardlink")),
        input_bytes=sum(fingerprints[i].size if fingerprints[i] else files[i].info.st_size for i in kept),
        package_bytes=package_bytes,
        not_utf8=not_utf8,
    )


def warn(message: str) -> None:
    print(f"qvc pack: {message}", file=sys.stderr)


def spool_standard_input(directory: str, name: str, progress: Progress) -> InputEntry:
    """Standard input, kept in `directory` under `name`, as the file it will be packed as."""
    path = os.path.join(directory, name)
    copy_standard_input(path, progress=progress)
    return InputEntry("file", os.fsencode(name), path, os.stat(path), shown=STANDARD_INPUT)


def _share(package_bytes: int, input_bytes: int) -> str:
    """The package's size against its input's, in words that stay readable for any pair."""
    if not input_bytes:
        return "from no text"
    ratio = package_bytes / input_bytes
    if ratio <= 1:
        return f"{ratio:.1%} of the input"
    if ratio < 10:
        return f"{ratio:.2f} times the input"
    return f"{ratio:,.0f} times the input"


# Below this much text, a package's fixed parts (vocabulary, names, manifest) outweigh what
# compressing the text saves.
SMALL_INPUT = 64 << 10
LARGE_SHARE = 0.9


def size_note(result: PackResult) -> str | None:
    """One line when the package is not much smaller than its input, and why."""
    if not result.input_bytes or result.package_bytes <= LARGE_SHARE * result.input_bytes:
        return None
    ratio = result.package_bytes / result.input_bytes
    share = f"the package is {ratio:.0%} of its input" if ratio <= 1 else "the package is larger than its input"
    if result.input_bytes < SMALL_INPUT:
        return (f"{share}: with so little text, the vocabulary, the names and the digests take "
                "more room than compressing saves")
    return (f"{share}: the text has few repeated tokens (long lines without spaces, as in JSON "
            "Lines, minified JSON or base64, are one token each, stored whole in the "
            "vocabulary); a general-purpose compressor such as zstd does better on such text")


def _summary(result: PackResult, tree: InputTree, vocabulary: int, known: int, seconds: float) -> str:
    others = []
    if result.directories:
        others.append(counted(result.directories, "directory", "directories"))
    if result.links:
        others.append(counted(result.links, "link"))
    left_out = len(tree.left_out) + len(result.not_utf8)
    if left_out:
        others.append(f"{left_out:,} left out as listed above")
    extra = f" ({', '.join(others)})" if others else ""
    return (f"packed {counted(len(result.files), 'file')}{extra}, {counted(result.input_bytes, 'byte')} -> "
            f"{counted(result.package_bytes, 'byte')} ({_share(result.package_bytes, result.input_bytes)}), "
            f"vocabulary {counted(vocabulary, 'token')} ({vocabulary - known:,} new), {seconds:.2f} s")


def run_pack(args) -> int:
    started = time.perf_counter()
    to_standard_output = args.output == "-"
    if to_standard_output:
        refuse_terminal_output("the package")
    else:
        check_output(args.output, [path for path in args.paths if path != "-"], args.force)
    dictionary = os.path.realpath(args.dict) if args.dict else None
    if dictionary is not None:
        if not to_standard_output and dictionary == os.path.realpath(args.output):
            raise Failure(f"{args.dict}: is also the package to write")
        check_dictionary_file(dictionary)
    # What is said goes to standard error when the package goes to standard output.
    out = sys.stderr if to_standard_output else sys.stdout
    with contextlib.ExitStack() as stack:
        progress = stack.enter_context(Progress(wanted(args.quiet)))
        standard_input = None
        if "-" in args.paths:
            spool = stack.enter_context(private_directory(tempfile.gettempdir(), "stdin"))
            standard_input = spool_standard_input(spool, args.name, progress)
        # Directories with paths too long for one system call are reached through links here.
        shortcuts = stack.enter_context(private_directory(link_directory(), "paths"))
        walk = WalkOptions(args.dereference, args.exclude, args.strict, shortcuts,
                           None if to_standard_output else package_to_leave_out(args.output))
        with progress.stage(Phase("scanning")):
            tree = walk_inputs(args.paths, walk, standard_input)
        if not to_standard_output:
            refuse_output_linked_to_an_input(args.output, tree)
        else:
            refuse_standard_output_among_inputs(tree)
        for skipped in tree.skipped:
            warn(f"skipping {skipped}")
        for unreadable in tree.unreadable:
            warn(f"leaving out {unreadable}")
        options = PackOptions(args.output, args.level, args.threads, args.force, args.skip_invalid, dictionary,
                              args.dereference, progress=progress)
        with dictionary_locked(dictionary) if dictionary else contextlib.nullcontext():
            if dictionary is not None:
                try:
                    compressor = QVCompressor(dictionary)
                except MemoryError:
                    raise Failure(f"{args.dict}: out of memory while loading the dictionary") from None
                except UnicodeDecodeError:
                    # Byte strings where the vocabulary's tokens belong (an old pickle of str8).
                    raise Failure(f"{args.dict}: not a dictionary file (its tokens are not text)") from None
                except Exception as error:
                    raise Failure(f"{args.dict}: cannot load the dictionary: {error}") from None
            else:
                compressor = fresh_compressor()
            known = len(compressor.global_dict)
            try:
                result = pack(tree, compressor, options)
            except MemoryError:
                total = sum(entry.info.st_size for entry in tree.files)
                raise Failure(f"out of memory while packing {counted(len(tree.files), 'file')} "
                              f"({total / 1e6:,.1f} MB)") from None
            progress.stop()
    for skipped in result.not_utf8:
        warn(f"skipped {skipped}")
    if args.verbose:
        for entry in result.files:
            print(os.fsdecode(entry.stored), file=out)
    if not args.quiet:
        seconds = time.perf_counter() - started
        print(_summary(result, tree, len(compressor.global_dict), known, seconds), file=out)
        note = size_note(result)
        if note is not None:
            print(f"note: {note}", file=out)
    if tree.unreadable:
        warn(f"{counted(len(tree.unreadable), 'input')} could not be read and {'was' if len(tree.unreadable) == 1 else 'were'} "
             "left out, as listed above")
        return 2
    return 0
