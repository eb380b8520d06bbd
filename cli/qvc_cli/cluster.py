"""Packing the shards of a corpus on a Dask cluster, with the ids the serial loop gives.

The serial loop

    c = QVCompressor(dict_path)
    for files, output in zip(shards, outputs):
        c.encode_files(files, output)
        c.save_dict()

numbers every token in order of first occurrence across all shards. Its packages and its
dictionary file come out of three steps, the first and last of them parallel:

1. Each shard's distinct tokens in order of first occurrence, on the workers: what a fresh
   compressor's vocabulary would hold after encoding the shard alone.
2. On the client, those lists merged in shard order onto the starting vocabulary: every token
   gets the id the loop gives it, and the vocabulary the loop holds before shard k is the first
   entries of the merged one, as many as there were before k.
3. Each shard encoded on a worker by a compressor holding that prefix: the loop's package, byte
   for byte. The merged vocabulary goes to every worker once; a task takes its prefix from it,
   or from the compressor of the worker's previous shard.

Workers read the inputs and write the packages themselves, so they must reach every path under
the name the client gives (shared storage); paths are made absolute on the client. Packages are
written into a private directory beside their final names and moved into place, with the
dictionary file, only once every shard is done: a failure, a worker lost for good, or Ctrl-C
leaves nothing under a final name. A worker that dies mid-task has its task run again
elsewhere; a package is written through a temporary file and renamed, so the rerun writes it
whole.
"""

from __future__ import annotations

import collections
import contextlib
import itertools
import logging
import os
import pickle
import sys
import threading
import time
import uuid
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from functools import partial
from typing import Any

from qvc_cli.dictionary_file import check_dictionary_file, dictionary_locked
from qvc_cli.packing import _save_dictionary, first_invalid_utf8, fresh_compressor
from qvc_cli.staging import Placement, opened_directory, private_directory, record_completed, signals_deferred
from qvc_compressor import QVCompressor

# The largest id a signed 32-bit `next_id` can hand out.
LAST_ID = 2**31 - 1


class UnreadableInput(OSError):
    """A worker cannot open or read an input: its message says that workers must see it."""


class NotText(ValueError):
    """An input is not UTF-8 text: its message names it and its first invalid byte."""


def unreadable_input(path: str, error: OSError) -> UnreadableInput:
    return UnreadableInput(error.errno, f"a worker cannot read it ({error.strerror}); every worker must "
                           "reach the inputs under the same path as the client", path)


def read_text(path: str) -> str:
    """A file's text as `encode_files` reads it: strict UTF-8, universal newlines."""
    try:
        with open(path, encoding="utf-8") as f:
            return f.read()
    except UnicodeDecodeError:
        # The decoder's offset counts from the piece it was given, not from the file's start.
        raise NotText(f"{path}: not UTF-8 text (invalid byte at offset {first_invalid_utf8(path)})") from None
    except OSError as error:
        raise unreadable_input(path, error) from None


def distinct_tokens(paths: Sequence[str]) -> list[str]:
    """Step 1, on a worker: the shard's distinct tokens in order of first occurrence."""
    tokenizer = fresh_compressor()
    seen: dict[str, None] = {}
    for path in paths:
        seen.update(dict.fromkeys(tokenizer.tokenize(read_text(path))))
    return list(seen)


def _pickled_distinct_tokens(paths: Sequence[str]) -> bytes:
    # Dask serializes a list element by element; one byte string goes over many times faster.
    return pickle.dumps(distinct_tokens(paths), protocol=pickle.HIGHEST_PROTOCOL)


@dataclass
class MergedVocabulary:
    """Step 2's result: the vocabulary after the last shard, and for each shard how many of its
    first entries, and which `next_id`, the serial loop holds before encoding that shard."""
    tokens: dict[str, int]
    next_id: int
    prefix_entries: list[int]
    prefix_next_ids: list[int]


def merge_vocabularies(start: dict, next_id: int, shard_tokens: Sequence[Sequence[str]]) -> MergedVocabulary:
    """Step 2, on the client: gives each token not in `start` the next id, shard by shard, as
    `encode_files` gives them. `start` is extended in place."""
    vocabulary = start
    entries, next_ids = [], []
    for tokens in shard_tokens:
        entries.append(len(vocabulary))
        next_ids.append(next_id)
        # A shard's list holds each token once, so its tokens not yet known are new in this order.
        new = list(itertools.filterfalse(vocabulary.__contains__, tokens))
        if new and next_id + len(new) - 1 > LAST_ID:
            raise OverflowError(f"no token id is left for a new token: ids end at {LAST_ID}")
        vocabulary.update(zip(new, range(next_id, next_id + len(new))))
        # As in encode_files, `next_id` stays at the last id once that is given out.
        next_id = min(next_id + len(new), LAST_ID)
    return MergedVocabulary(vocabulary, next_id, entries, next_ids)


def shipped(vocabulary: dict) -> bytes:
    """The vocabulary as the workers get it: its tokens and its ids as two lists, pickled. Lists
    of strs and of ints load several times faster than the dict they make, and a task only makes
    the part of the dict it needs."""
    return pickle.dumps((list(vocabulary), list(vocabulary.values())), protocol=pickle.HIGHEST_PROTOCOL)


def prefix_compressor(tokens: list, ids: list, entries: int, next_id: int) -> QVCompressor:
    """A compressor holding the first `entries` of `tokens` with their `ids`, and `next_id`: the
    state of the serial loop's compressor before the shard that starts there."""
    tokens, ids = tokens[:entries], ids[:entries]
    compressor = fresh_compressor()
    compressor.global_dict = dict(zip(tokens, ids))
    compressor.inverse_dict = dict(zip(ids, tokens))
    compressor.next_id = next_id
    return compressor


class _WorkerState:
    """What one worker process keeps between the tasks of one run (its key): the vocabulary it
    unpickled, and the compressor of its last shard. Encoding a shard leaves in that compressor
    exactly the prefix of the next, so a later shard's prefix is that compressor extended by the
    tokens between, not made anew: a worker makes each entry once, not once a task."""

    def __init__(self, key: str, vocabulary: bytes) -> None:
        self.key = key
        self.tokens, self.ids = pickle.loads(vocabulary)
        self.last: QVCompressor | None = None
        self.taking = threading.Lock()  # a worker of several threads runs tasks side by side

    def compressor(self, entries: int, next_id: int) -> QVCompressor:
        with self.taking:
            last, self.last = self.last, None  # a task that fails leaves nothing to extend
        if last is None or len(last.global_dict) > entries:
            return prefix_compressor(self.tokens, self.ids, entries, next_id)
        held = len(last.global_dict)
        tokens, ids = self.tokens[held:entries], self.ids[held:entries]
        last.global_dict.update(zip(tokens, ids))
        last.inverse_dict.update(zip(ids, tokens))
        last.next_id = next_id
        return last


_state: _WorkerState | None = None


def _worker_state(key: str, vocabulary: bytes) -> _WorkerState:
    global _state
    if _state is None or _state.key != key:
        _state = None  # the last run's goes before this one's is made
        _state = _WorkerState(key, vocabulary)
    return _state


def _forget_worker_state() -> None:
    global _state
    _state = None


def encode_files_into(paths: Sequence[str], compressor: QVCompressor, output: str, *, level: int,
                      threads: int) -> None:
    """Step 3 of `pack_shards`: the package `encode_files` writes (it writes through a temporary
    file and renames it, so a task run again after a lost worker replaces the file whole)."""
    try:
        compressor.encode_files(list(paths), output, level, threads)
    except OSError as error:
        if error.filename in paths:
            raise unreadable_input(error.filename, error) from None
        raise


# How many tasks of each run are encoding in this worker process. A cancelled task runs on to
# its end, so the client waits until its run has none left before it removes the directory
# they write in: a write racing the removal could leave a file behind.
_encoding: collections.Counter[str] = collections.Counter()
_encoding_lock = threading.Lock()


def _encodings_running(key: str) -> int:
    return _encoding[key]


def _encode_shard(encode: Callable[[Any, QVCompressor, str], None], job: Any, key: str, vocabulary: bytes,
                  entries: int, next_id: int, output: str) -> None:
    with _encoding_lock:
        _encoding[key] += 1
    try:
        state = _worker_state(key, vocabulary)
        compressor = state.compressor(entries, next_id)
        encode(job, compressor, output)
        state.last = compressor
    finally:
        with _encoding_lock:
            _encoding[key] -= 1
            if not _encoding[key]:
                del _encoding[key]


def _wait_for_encodings(client, key: str) -> None:
    """Until no task of run `key` is encoding on any worker (a worker lost meanwhile has none)."""
    while True:
        try:
            running = client.run(_encodings_running, key, on_error="ignore")
        except Exception:
            return  # the cluster is gone, and its workers with it
        if not any(isinstance(count, int) and count for count in running.values()):
            return
        time.sleep(0.1)


class _Clock:
    def __init__(self, timings: dict[str, float] | None) -> None:
        self.timings = timings

    @contextlib.contextmanager
    def __call__(self, step: str) -> Iterator[None]:
        started = time.perf_counter()
        yield
        if self.timings is not None:
            self.timings[step] = time.perf_counter() - started


@contextlib.contextmanager
def connected(client=None, scheduler: str | None = None) -> Iterator[Any]:
    """`client` itself; else a client of the scheduler at `scheduler`; else a local cluster of
    one single-threaded worker process per processor this process may use (the compressor holds
    the interpreter's lock while it works, so threads of one worker would take turns)."""
    if client is not None:
        yield client
        return
    import distributed

    if scheduler is not None:
        with distributed.Client(scheduler) as remote:
            yield remote
        return
    workers = len(os.sched_getaffinity(0))
    # The workers' own log lines would repeat each failure that the caller gets as an exception.
    with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                  dashboard_address=None, silence_logs=logging.CRITICAL) as cluster, distributed.Client(cluster) as local:
        yield local


def _waited(client, futures: list, label: str, show: bool) -> list:
    """The futures' results in order; a bar on standard error counts finished tasks. The first
    failure ends the wait, and the tasks not yet run are cancelled. Results are gathered only
    once every task has ended: a gather cut short by Ctrl-C leaves the client's own waiting
    tasks to fail noisily when it is cancelled."""
    import distributed

    try:
        with contextlib.ExitStack() as stack:
            bar = None
            if show:
                import tqdm

                bar = stack.enter_context(tqdm.tqdm(total=len(futures), desc=label, unit="shard", file=sys.stderr,
                                                    leave=False))
            for future in distributed.as_completed(futures):
                if future.status != "finished":
                    break
                if bar is not None:
                    bar.update()
        return client.gather(futures)
    except BaseException:
        client.cancel(futures)
        raise


def _staged_outputs(outputs: list[str], force: bool, stack: contextlib.ExitStack) -> list[tuple[str, str]]:
    """For each output, (private directory beside it, name there), after refusing an output that
    exists (without `force`), is a directory, or is named twice."""
    real = [os.path.realpath(output) for output in outputs]
    if len(set(real)) != len(real):
        twice = next(output for output, path in zip(outputs, real) if real.count(path) > 1)
        raise ValueError(f"{twice}: named twice among the outputs")
    for output in outputs:
        if os.path.isdir(output):
            raise IsADirectoryError(21, "is a directory", output)
        if os.path.lexists(output) and not force:
            raise FileExistsError(17, "exists already; use --force to replace it", output)
    stages: dict[str, str] = {}
    staged = []
    for index, output in enumerate(outputs):
        parent = os.path.dirname(output)
        if parent not in stages:
            stages[parent] = stack.enter_context(private_directory(parent, "shards"))
        staged.append((stages[parent], f"part-{index}"))
    return staged


def _commit(staged: list[tuple[str, str]], outputs: list[str], force: bool,
            dictionary: tuple[str, str] | None) -> None:
    """Moves every package, and the dictionary file if any, to its final name: all or none."""
    with signals_deferred(), contextlib.ExitStack() as stack:
        placement = Placement()
        fds: dict[str, int] = {}

        def fd(directory: str) -> int:
            if directory not in fds:
                fds[directory] = stack.enter_context(opened_directory(directory))
            return fds[directory]

        try:
            for (stage, name), output in zip(staged, outputs):
                placement.move(fd(stage), name, fd(os.path.dirname(output)), os.path.basename(output),
                               replace=force, backup_fd=fd(stage))
            if dictionary is not None:
                work, path = dictionary
                placement.move(fd(work), "dictionary", fd(os.path.dirname(path)), os.path.basename(path),
                               replace=True, backup_fd=fd(work))
            for directory in {os.path.dirname(output) for output in outputs}:
                os.fsync(fd(directory))
            if dictionary is not None:
                os.fsync(fd(os.path.dirname(dictionary[1])))
        except BaseException:
            placement.undo()
            raise
        # A Ctrl-C held back meanwhile must not be reported as if nothing had been written.
        record_completed(f"{len(outputs)} packages were written in full")
        if dictionary is not None:
            record_completed(f"{dictionary[1]} was saved")


def pack_prepared(client, read_paths: list[list[str]], jobs: list, outputs: list[str], dict_path: str | None,
                  encode: Callable[[Any, QVCompressor, str], None], *, force: bool = False,
                  show_progress: bool = False, timings: dict[str, float] | None = None) -> MergedVocabulary | None:
    """The three steps over shards whose files are `read_paths` (absolute), each shard's package
    written by `encode(job, compressor, path)` on a worker; then everything put in place. The
    dictionary file, if any, is locked for the run. Returns the merged vocabulary (None for no
    shards, where the serial loop writes nothing either). `timings`, if given, gets the elapsed
    seconds of each step by name (for the benchmark)."""
    if len(outputs) != len(read_paths) or len(jobs) != len(read_paths):
        raise ValueError(f"{len(read_paths)} shards but {len(outputs)} outputs")
    if not read_paths:
        return None
    outputs = [os.path.abspath(output) for output in outputs]
    if dict_path is not None:
        dict_path = os.path.abspath(dict_path)
        check_dictionary_file(dict_path)
    with contextlib.ExitStack() as stack:
        if dict_path is not None:
            stack.enter_context(dictionary_locked(dict_path))
        staged = _staged_outputs(outputs, force, stack)
        start = QVCompressor(dict_path) if dict_path is not None else fresh_compressor()
        if type(start.global_dict) is not dict:
            raise ValueError(f"{dict_path}: its vocabulary is not a dict")

        clock = _Clock(timings)
        with clock("distinct tokens"):
            futures = [client.submit(_pickled_distinct_tokens, paths, key=f"distinct-tokens-{k}-{uuid.uuid4().hex}")
                       for k, paths in enumerate(read_paths)]
            results = _waited(client, futures, "distinct tokens", show_progress)
            del futures
        with clock("merge"):
            merged = merge_vocabularies(start.global_dict, start.next_id, [pickle.loads(tokens) for tokens in results])
            del results
        with clock("shipping"):
            [vocabulary] = client.scatter([shipped(merged.tokens)], broadcast=True, hash=False)
        with clock("encoding"):
            futures = [client.submit(_encode_shard, encode, job, vocabulary.key, vocabulary, entries, next_id,
                                     os.path.join(*staged[k]), key=f"encode-shard-{k}-{uuid.uuid4().hex}")
                       for k, (job, entries, next_id)
                       in enumerate(zip(jobs, merged.prefix_entries, merged.prefix_next_ids))]
            try:
                _waited(client, futures, "encoding", show_progress)
            except BaseException:
                _wait_for_encodings(client, vocabulary.key)
                raise
            finally:
                client.cancel([vocabulary])
                with contextlib.suppress(Exception):  # memory only; a lost worker took its copy along
                    client.run(_forget_worker_state)

        with clock("dictionary and commit"):
            dictionary = None
            if dict_path is not None:
                final = fresh_compressor()
                final.global_dict = merged.tokens
                final.inverse_dict = dict(zip(merged.tokens.values(), merged.tokens))
                final.next_id = merged.next_id
                final.dict_path = dict_path
                work = stack.enter_context(private_directory(os.path.dirname(dict_path), "dictionary"))
                _save_dictionary(final, work, dict_path)
                dictionary = (work, dict_path)
            _commit(staged, outputs, force, dictionary)
    return merged


def pack_shards(shards: Sequence[Sequence[str]], outputs: Sequence[str], dict_path: str | None, *,
                client=None, level: int = 6, threads: int = 4, force: bool = False) -> None:
    """Writes what the serial loop writes, byte for byte: one package per shard in `outputs`,
    with ids given in order of first occurrence across all shards, starting from the dictionary
    file at `dict_path` where it exists, and that file saved at the end (no dictionary with
    None). Runs on `client`, a `distributed.Client`; None starts a local cluster sized to the
    machine. Existing outputs are replaced only with `force`; nothing is put in place unless
    every shard was packed."""
    read_paths = [[os.path.abspath(path) for path in shard] for shard in shards]
    encode = partial(encode_files_into, level=level, threads=threads)
    with connected(client) as running:
        pack_prepared(running, read_paths, read_paths, list(outputs), dict_path, encode, force=force)
