"""`qvc pack-shards`: a corpus into numbered packages, packed on a Dask cluster.

The inputs are walked as `qvc pack` walks them, and the walk's order is cut into runs of
files: the shards. Each shard's package is what `qvc pack` writes for it (stored paths, the
manifest, unique names for clashing base names), with the ids the serial loop over the shards
gives (see cluster.py). A shard carries the directories above its files, so that each package
restores on its own with its directories' modes and times; directories and links are in the
shard of the files that follow them in the walk, those at the end in the last.
"""

from __future__ import annotations

import contextlib
import dataclasses
import os
import sys
import time
from functools import partial

from qvc_cli import cluster
from qvc_cli.cluster import unreadable_input
from qvc_cli.failures import Failure, counted
from qvc_cli.input_tree import InputEntry, InputTree, walk_inputs
from qvc_cli.packing import PackOptions, check_output, pack, refuse_output_linked_to_an_input, warn
from qvc_cli.progress import wanted
from qvc_compressor import QVCompressor

PART_NAME = "part-{:05d}.qvc"
# Without --shards or --shard-size: a worker holds about 3.3 bytes per byte of its shard while
# it encodes, so this keeps each worker under a gigabyte.
DEFAULT_SHARD_SIZE = 256_000_000


def shard_starts(sizes: list[int], shards: int | None, shard_size: int | None) -> list[int]:
    """Where each shard starts in a list of files of `sizes`, in order. `shards`: that many runs
    (fewer only when there are fewer files) of about equal bytes; `shard_size`: a new run
    wherever the next file would take the run past that many bytes (a larger file is a run of
    its own)."""
    if not sizes:
        return [0]
    if shards is not None:
        count = min(shards, len(sizes))
        total = sum(sizes) or 1
        starts = [0]
        before = 0
        for index, size in enumerate(sizes):
            k = len(starts)
            if k < count and index > starts[-1] and (before * count >= k * total or len(sizes) - index == count - k):
                starts.append(index)
            before += size
        return starts
    starts, run = [0], 0
    for index, size in enumerate(sizes):
        if run and run + size > shard_size:
            starts.append(index)
            run = 0
        run += size
    return starts


def split_tree(tree: InputTree, shards: int | None, shard_size: int | None) -> list[InputTree]:
    """The walk's entries cut into shards before the first file of each, each shard led by the
    directories above its entries that an earlier shard holds."""
    file_positions = [position for position, entry in enumerate(tree.entries) if entry.kind == "file"]
    starts = shard_starts([tree.entries[p].info.st_size for p in file_positions], shards, shard_size)
    cuts = [0] + [file_positions[start] for start in starts[1:]] + [len(tree.entries)]
    directories = {entry.stored: entry for entry in tree.entries if entry.kind == "dir"}
    parts = []
    for begin, end in zip(cuts, cuts[1:]):
        entries = tree.entries[begin:end]
        held = {entry.stored for entry in entries}
        above: dict[bytes, InputEntry] = {}
        for entry in entries:
            parent = entry.stored
            while b"/" in parent:
                parent = parent.rsplit(b"/", 1)[0]
                if parent in directories and parent not in held:
                    above[parent] = directories[parent]
        parts.append(InputTree(sorted(above.values(), key=lambda e: e.stored.count(b"/")) + entries))
    return parts


def pack_tree_into(tree: InputTree, compressor: QVCompressor, output: str, *, level: int, threads: int) -> None:
    """Step 3 on a worker: what `qvc pack` writes for the shard's tree. Each entry is looked at
    again here: the client's device numbers for a shared file system need not be a worker's."""
    entries = []
    for entry in tree.entries:
        try:
            entries.append(dataclasses.replace(entry, info=os.lstat(entry.source)))
        except OSError as error:
            raise unreadable_input(entry.label, error) from None
    pack(InputTree(entries), compressor, PackOptions(output, level, threads, force=True))


def _absolute(tree: InputTree) -> InputTree:
    """Sources as the workers open them, each still shown as the user named it."""
    return InputTree([dataclasses.replace(entry, source=os.path.abspath(entry.source), shown=entry.label)
                      for entry in tree.entries], tree.skipped)


@contextlib.contextmanager
def _output_directory(path: str):
    """OUTDIR, made if missing (its parent must exist) and removed again if the run fails
    before anything was put into it."""
    if os.path.isdir(path):
        yield
        return
    if os.path.lexists(path):
        raise Failure(f"{path}: not a directory")
    try:
        os.mkdir(path)
    except OSError as error:
        raise Failure(f"{path}: cannot be made: {error.strerror}") from None
    try:
        yield
    except BaseException:
        with contextlib.suppress(OSError):
            os.rmdir(path)
        raise


def run_pack_shards(args) -> int:
    started = time.perf_counter()
    try:
        import distributed
    except ImportError:
        raise Failure("pack-shards needs Dask: pip install 'qvc-cli[cluster]'") from None
    if "-" in args.paths:
        raise Failure("standard input cannot be packed in shards: the workers read the inputs themselves")
    out = sys.stdout
    with _output_directory(args.outdir):
        tree = _absolute(walk_inputs(args.paths))
        for skipped in tree.skipped:
            warn(f"skipping {skipped}")
        shards = split_tree(tree, args.shards, args.shard_size or (None if args.shards else DEFAULT_SHARD_SIZE))
        outputs = [os.path.join(args.outdir, PART_NAME.format(k)) for k in range(len(shards))]
        for output in outputs:
            check_output(output, args.paths, args.force)
            refuse_output_linked_to_an_input(output, tree)
        if args.dict and os.path.realpath(args.dict) in {os.path.realpath(output) for output in outputs}:
            raise Failure(f"{args.dict}: is also a package to write")
        read_paths = [[entry.source for entry in shard.files] for shard in shards]
        encode = partial(pack_tree_into, level=args.level, threads=args.threads)
        with contextlib.ExitStack() as stack:
            try:
                client = stack.enter_context(cluster.connected(scheduler=args.scheduler))
            except OSError as error:
                if args.scheduler:
                    raise Failure(f"{args.scheduler}: cannot reach the scheduler ({error})") from None
                raise Failure(f"cannot start a local cluster ({error})") from None
            try:
                merged = cluster.pack_prepared(client, read_paths, shards, outputs, args.dict, encode,
                                               force=args.force, show_progress=wanted(args.quiet))
            except cluster.NotText as error:
                raise Failure(str(error)) from None
            except distributed.client.FutureCancelledError:
                raise Failure("the cluster cancelled the work; nothing written") from None
            except distributed.scheduler.KilledWorker as error:
                raise Failure(f"workers died running {error.task}, as many times as the cluster retries "
                              "a task; nothing written") from None
    if args.verbose:
        for output, shard in zip(outputs, shards):
            print(f"{output}: {counted(len(shard.files), 'file')}", file=out)
    if not args.quiet:
        total = sum(entry.info.st_size for entry in tree.files)
        written = sum(os.path.getsize(output) for output in outputs)
        vocabulary = len(merged.tokens) if merged else 0
        print(f"packed {counted(len(tree.files), 'file')} in {counted(len(outputs), 'package')}, {total:,} bytes -> "
              f"{written:,} bytes, vocabulary {vocabulary:,} tokens, {time.perf_counter() - started:.2f} s", file=out)
    return 0
