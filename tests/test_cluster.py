"""Packing shards on a Dask cluster: what the serial loop writes, byte for byte, on a real local
cluster of two worker processes, also when one of them is killed, and nothing partial when a
shard fails."""

from __future__ import annotations

import os
import signal
import sys
from pathlib import Path

import pytest

distributed = pytest.importorskip("distributed")
import cloudpickle  # noqa: E402  (comes with distributed)

from cli_support import leftovers  # noqa: E402
from conftest import UNDER_SANITIZER  # noqa: E402
from corpus import small_documents, stdlib_sources, utf8_files  # noqa: E402
from qvc_cli import cluster  # noqa: E402
from qvc_compressor import QVCompressor  # noqa: E402

# The workers get this module's functions and plugins by value: they cannot import it.
cloudpickle.register_pickle_by_value(sys.modules[__name__])


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  silence_logs=50) as local, distributed.Client(local) as connected:
        yield connected


def _corpus(name: str) -> list[str]:
    # Some 200 files taken evenly keep the test short and still span the whole tree's kinds of
    # text (a distribution's standard library may be a few hundred files or a few thousand).
    files = utf8_files(stdlib_sources()) if name == "standard library" else small_documents()
    return files[::max(1, len(files) // 200)][:220]


@pytest.fixture(scope="module", params=["standard library", "documentation"])
def corpus(request):
    if UNDER_SANITIZER and request.param != "standard library":
        pytest.skip("one corpus is enough to watch the module's memory use; the slowed cluster takes minutes")
    files = _corpus(request.param)
    assert len(files) > 100
    return files


def _split(files: list[str], count: int) -> list[list[str]]:
    return [files[k * len(files) // count:(k + 1) * len(files) // count] for k in range(count)]


def serial_loop(shards, outputs, dict_path) -> None:
    compressor = QVCompressor(dict_path)
    for files, output in zip(shards, outputs):
        compressor.encode_files(files, output)
        compressor.save_dict()


def _start_dictionary(path: Path, files: list[str], scratch: Path) -> None:
    """A dictionary file grown on other texts of the same kind, as a corpus's earlier batches
    leave it."""
    compressor = QVCompressor(str(path))
    compressor.encode_files(files, str(scratch / "earlier.qvc"))
    compressor.save_dict()


def _run_both(tmp_path: Path, shards, start_files, run) -> tuple[Path, Path]:
    """The serial loop into tmp/serial, `run(outputs, dict_path)` into tmp/cluster, each
    starting from the same dictionary file when `start_files` are given."""
    for side in ("serial", "cluster"):
        (tmp_path / side).mkdir()
        if start_files:
            _start_dictionary(tmp_path / side / "vocabulary.bin", start_files, tmp_path)
    serial_loop(shards, [str(tmp_path / "serial" / f"p{k}.qvc") for k in range(len(shards))],
                str(tmp_path / "serial" / "vocabulary.bin"))
    run([str(tmp_path / "cluster" / f"p{k}.qvc") for k in range(len(shards))],
        str(tmp_path / "cluster" / "vocabulary.bin"))
    return tmp_path / "serial", tmp_path / "cluster"


def _files(directory: Path) -> dict[str, bytes]:
    return {path.name: path.read_bytes() for path in directory.iterdir() if not path.name.endswith(".lock")}


@pytest.mark.parametrize("with_dictionary", [False, True], ids=["fresh", "from a dictionary file"])
@pytest.mark.parametrize("count", [1, 2, 7])
def test_packages_and_dictionary_are_those_of_the_serial_loop(client, corpus, count, with_dictionary, tmp_path):
    half = len(corpus) // 2
    files, start_files = (corpus[:half], corpus[half:]) if with_dictionary else (corpus, None)
    shards = _split(files, count)
    serial, sharded = _run_both(tmp_path, shards, start_files,
                                lambda outputs, dict_path: cluster.pack_shards(shards, outputs, dict_path, client=client))
    expected = _files(serial)
    assert len(expected) == count + 1
    assert _files(sharded) == expected
    assert leftovers(sharded) == []


class _KillAtFirstEncoding(distributed.WorkerPlugin):
    """SIGKILLs the worker process that starts encoding a shard first; `marker` makes it one
    kill for the whole cluster."""

    def __init__(self, marker: str) -> None:
        self.marker = marker

    def transition(self, key, start, finish, **kwargs):
        if finish == "executing" and str(key).startswith("encode-shard-"):
            try:
                os.close(os.open(self.marker, os.O_CREAT | os.O_EXCL | os.O_WRONLY))
            except FileExistsError:
                return
            os.kill(os.getpid(), signal.SIGKILL)


def test_a_worker_killed_while_encoding_changes_nothing(client, tmp_path):
    files = _corpus("standard library")
    shards = _split(files, 4)
    marker = tmp_path / "killed"
    pids = set(client.run(os.getpid).values())
    client.register_plugin(_KillAtFirstEncoding(str(marker)), name="kill-at-first-encoding")
    try:
        serial, sharded = _run_both(
            tmp_path, shards, files[:40],
            lambda outputs, dict_path: cluster.pack_shards(shards, outputs, dict_path, client=client))
    finally:
        client.unregister_worker_plugin("kill-at-first-encoding")
        client.wait_for_workers(2, timeout=60)
    assert marker.exists()
    assert pids - set(client.run(os.getpid).values())  # the killed process is gone
    assert _files(sharded) == _files(serial)
    assert leftovers(sharded) == []


def _fail_on_second(job, compressor, output):
    if job[0].endswith("/second"):
        raise OSError(28, "No space left on device", output)
    cluster.encode_files_into(job[1], compressor, output, level=3, threads=0)


def _existing(tmp_path: Path) -> tuple[dict[str, bytes], Path]:
    """An output directory holding an earlier part 1 and a dictionary file."""
    out = tmp_path / "out"
    out.mkdir()
    files = _corpus("standard library")[:30]
    _start_dictionary(out / "vocabulary.bin", files[:10], tmp_path)
    (out / "p1.qvc").write_bytes(b"an earlier part")
    return _files(out), out


def test_a_failing_shard_leaves_everything_as_it_was(client, tmp_path):
    before, out = _existing(tmp_path)
    files = _corpus("standard library")[10:40]
    shards = _split(files, 3)
    jobs = [(str(tmp_path / name), shard) for name, shard in zip(["first", "second", "third"], shards)]
    outputs = [str(out / f"p{k}.qvc") for k in range(3)]
    with pytest.raises(OSError, match="No space left"):
        cluster.pack_prepared(client, shards, jobs, outputs, str(out / "vocabulary.bin"), _fail_on_second,
                              force=True)
    assert _files(out) == before
    assert leftovers(out) == []


@pytest.mark.parametrize("problem", ["missing", "directory", "not UTF-8"])
def test_an_input_a_worker_cannot_read_is_named(client, tmp_path, problem):
    before, out = _existing(tmp_path)
    bad = tmp_path / "bad.txt"
    if problem == "directory":
        bad.mkdir()
    elif problem == "not UTF-8":
        bad.write_bytes(b"caf\xe9 au lait\n")
    files = _corpus("standard library")[10:20]
    shards = [files[:5], files[5:] + [str(bad)]]
    expected = (cluster.UnreadableInput if problem != "not UTF-8" else cluster.NotText)
    with pytest.raises(expected) as caught:
        cluster.pack_shards(shards, [str(out / "p0.qvc"), str(out / "p1.qvc")], str(out / "vocabulary.bin"),
                            client=client, force=True)
    message = str(caught.value)
    assert str(bad) in message
    assert ("worker cannot read it" in message) == (problem != "not UTF-8")
    assert _files(out) == before
    assert leftovers(out) == []


def test_existing_outputs_are_replaced_only_when_forced(client, tmp_path):
    before, out = _existing(tmp_path)
    files = _corpus("standard library")[10:30]
    shards = _split(files, 2)
    outputs = [str(out / "p0.qvc"), str(out / "p1.qvc")]
    with pytest.raises(FileExistsError) as caught:
        cluster.pack_shards(shards, outputs, str(out / "vocabulary.bin"), client=client)
    assert caught.value.filename == outputs[1]
    assert _files(out) == before

    cluster.pack_shards(shards, outputs, str(out / "vocabulary.bin"), client=client, force=True)
    (tmp_path / "serial").mkdir()
    _start_dictionary(tmp_path / "serial" / "vocabulary.bin", _corpus("standard library")[:10], tmp_path)
    serial_loop(shards, [str(tmp_path / "serial" / name) for name in ("p0.qvc", "p1.qvc")],
                str(tmp_path / "serial" / "vocabulary.bin"))
    assert _files(out) == _files(tmp_path / "serial")


def test_merge_keeps_known_ids_and_numbers_new_tokens_shard_by_shard():
    merged = cluster.merge_vocabularies({"known": 3, "b": 7}, 10, [["a", "b"], [], ["b", "c"], ["a"]])
    assert list(merged.tokens.items()) == [("known", 3), ("b", 7), ("a", 10), ("c", 11)]
    assert merged.prefix_entries == [2, 3, 3, 4]
    assert merged.prefix_next_ids == [10, 11, 11, 12]
    assert merged.next_id == 12


@pytest.mark.parametrize("start, text", [(cluster.LAST_ID - 3, "a b c"), (cluster.LAST_ID - 2, "a b c"),
                                         (cluster.LAST_ID, "one"), (cluster.LAST_ID, "one two")])
def test_merge_ends_at_the_last_id_as_encode_files_does(tmp_path, start, text):
    (tmp_path / "t.txt").write_text(text)
    compressor = QVCompressor.__new__(QVCompressor)
    compressor.global_dict, compressor.inverse_dict, compressor.next_id = {}, {}, start
    tokens = cluster.distinct_tokens([str(tmp_path / "t.txt")])
    try:
        compressor.encode_files([str(tmp_path / "t.txt")], str(tmp_path / "t.qvc"))
    except OverflowError:
        with pytest.raises(OverflowError, match="no token id is left"):
            cluster.merge_vocabularies({}, start, [tokens])
        return
    merged = cluster.merge_vocabularies({}, start, [tokens])
    assert (merged.tokens, merged.next_id) == (compressor.global_dict, compressor.next_id)
