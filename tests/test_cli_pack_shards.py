"""`qvc pack-shards` against a running local cluster of two worker processes: each part is what
`qvc pack` writes for its shard with the serial loop's ids, and the parts restore the tree."""

from __future__ import annotations

import glob
import os
import shutil
import signal
import sysconfig
import time
from pathlib import Path

import pytest

distributed = pytest.importorskip("distributed")

from cli_support import QVC, assert_one_line_failure, leftovers, qvc, snapshot, start_qvc
from pty_support import run_on_terminal  # noqa: E402
from qvc_cli.input_tree import InputTree, walk_inputs  # noqa: E402
from qvc_cli.pack_shards import shard_starts, split_tree  # noqa: E402
from qvc_cli.packing import PackOptions, pack  # noqa: E402
from qvc_compressor import QVCompressor  # noqa: E402


@pytest.fixture(scope="module")
def scheduler():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  silence_logs=50) as local:
        yield local.scheduler_address


@pytest.fixture(scope="module")
def corpus(tmp_path_factory) -> Path:
    """Part of the standard library as a tree: packages with clashing base names
    (`__init__.py`), a symlink and an empty directory."""
    root = tmp_path_factory.mktemp("corpus") / "lib"
    stdlib = sysconfig.get_paths()["stdlib"]
    ignore = shutil.ignore_patterns("__pycache__", "*.pyc", "*.exe", "*.bin", "*.pem", "*.zip", "*.gz", "*.whl")
    for package in ("json", "email", "importlib", "tomllib"):
        shutil.copytree(os.path.join(stdlib, package), root / package, ignore=ignore)
    shutil.copy2(os.path.join(stdlib, "os.py"), root / "os.py")
    (root / "empty").mkdir()
    (root / "json" / "link.py").symlink_to("decoder.py")
    return root


def serial_parts(tree: InputTree, shards: int, directory: Path, dict_path: str | None) -> dict[str, bytes]:
    """What `qvc pack` writes for each shard, one shard after the other with one vocabulary."""
    compressor = QVCompressor(dict_path) if dict_path else QVCompressor(str(directory / "none"))
    parts = {}
    for k, shard in enumerate(split_tree(tree, shards, None)):
        output = directory / f"part-{k:05d}.qvc"
        pack(shard, compressor, PackOptions(str(output), force=True))
        parts[output.name] = output.read_bytes()
    if dict_path:
        compressor.save_dict()
    return parts


def _contents(directory: Path) -> dict[str, bytes]:
    return {path.name: path.read_bytes() for path in directory.iterdir()}


@pytest.mark.parametrize("shards, with_dictionary", [(2, False), (7, True)])
def test_parts_are_the_serial_packs_of_the_shards(scheduler, corpus, tmp_path, shards, with_dictionary):
    args = ["pack-shards", tmp_path / "parts", corpus, "--shards", shards, "--scheduler", scheduler]
    serial_dir = tmp_path / "serial"
    serial_dir.mkdir()
    serial_dict = None
    if with_dictionary:
        seed = [str(path) for path in sorted((corpus / "email").glob("*.py"))[:5]]
        for side in ("serial.dict", "sharded.dict"):
            start = QVCompressor(str(tmp_path / side))
            start.encode_files(seed, str(tmp_path / "seed.qvc"))
            start.save_dict()
        args += ["--dict", tmp_path / "sharded.dict"]
        serial_dict = str(tmp_path / "serial.dict")
    result = qvc(*args)
    assert result.returncode == 0, result.stderr
    assert f"in {shards} packages" in result.stdout

    expected = serial_parts(walk_inputs([str(corpus)]), shards, serial_dir, serial_dict)
    assert _contents(tmp_path / "parts") == expected
    if with_dictionary:
        assert (tmp_path / "sharded.dict").read_bytes() == (tmp_path / "serial.dict").read_bytes()

    restored = tmp_path / "restored"
    for part in sorted((tmp_path / "parts").iterdir()):
        assert qvc("check", part).returncode == 0
        result = qvc("unpack", part, "-o", restored, "-q")
        assert result.returncode == 0, result.stderr
    assert _without_directory_times(snapshot(restored / "lib")) == _without_directory_times(snapshot(corpus))


def _without_directory_times(entries: dict[str, tuple]) -> dict[str, tuple]:
    """A directory whose files span parts changes as each later part adds its files, and unpack
    leaves the times of directories that were there before alone."""
    return {path: entry[:2] if entry[0] == "dir" else entry for path, entry in entries.items()}


def test_on_a_local_cluster_of_its_own_with_existing_parts_kept_unless_forced(corpus, tmp_path):
    parts = tmp_path / "parts"
    parts.mkdir()
    (parts / "part-00001.qvc").write_bytes(b"an earlier part")
    result = qvc("pack-shards", parts, corpus / "email", "--shard-size", "150k")
    line = assert_one_line_failure(result)
    assert "part-00001.qvc: exists already; use --force" in line
    assert _contents(parts) == {"part-00001.qvc": b"an earlier part"}

    result = qvc("pack-shards", parts, corpus / "email", "--shard-size", "150k", "-f")
    assert result.returncode == 0, result.stderr
    sizes = [entry.info.st_size for entry in walk_inputs([str(corpus / "email")]).files]
    count = len(shard_starts(sizes, None, 150_000))
    assert sorted(os.listdir(parts)) == [f"part-{k:05d}.qvc" for k in range(count)]
    assert count > 2
    assert all(qvc("check", parts / name).returncode == 0 for name in os.listdir(parts))


def test_progress_of_each_step_on_a_terminal(scheduler, corpus, tmp_path):
    run = run_on_terminal([*QVC, "pack-shards", str(tmp_path / "parts"), str(corpus / "email"), "--shards", "3",
                           "--scheduler", scheduler])
    assert run.status == 0, run.output
    for step in ("distinct tokens", "encoding"):
        assert f"{step}:   0%" in run.output, run.output  # counted in shards: 0/3, 1/3, ...
    assert "| 0/3 [" in run.output
    assert b"in 3 packages" in run.stdout


@pytest.mark.parametrize("signum, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_interrupted_while_workers_encode_leaves_nothing(scheduler, corpus, tmp_path, signum, status):
    dictionary = tmp_path / "d.bin"
    start = QVCompressor(str(dictionary))
    start.encode_files([str(corpus / "os.py")], str(tmp_path / "seed.qvc"))
    start.save_dict()
    before = dictionary.read_bytes()
    parts = tmp_path / "parts"
    process = start_qvc("pack-shards", parts, corpus, "--shards", "7", "--dict", dictionary,
                        "--scheduler", scheduler)
    # A worker's own private directory inside the run's: encoding is under way.
    while not glob.glob(str(parts / ".qvc-shards-*" / ".qvc-pack-*")):
        if process.poll() is not None:
            pytest.skip("the run ended before a worker began to encode")
        time.sleep(0.005)
    process.send_signal(signum)
    _, stderr = process.communicate(timeout=120)
    if process.returncode == 0:
        pytest.skip("the run ended as the signal came")
    assert process.returncode == status, stderr
    assert "Traceback" not in stderr
    assert not parts.exists()
    assert dictionary.read_bytes() == before
    assert leftovers(tmp_path) == []


@pytest.mark.parametrize("problem, words", [
    ("not UTF-8", "latin1.txt: not UTF-8 text (invalid byte at offset 100003)"),
    ("standard input", "standard input cannot be packed in shards"),
])
def test_refusals_leave_nothing(scheduler, corpus, tmp_path, problem, words):
    tree = tmp_path / "tree"
    shutil.copytree(corpus / "tomllib", tree)
    (tree / "latin1.txt").write_bytes(b"x" * 100_000 + b"caf\xe9\n")
    paths = [tree] if problem == "not UTF-8" else [tree, "-"]
    result = qvc("pack-shards", tmp_path / "parts", *paths, "--shards", "2", "--scheduler", scheduler)
    line = assert_one_line_failure(result)
    assert words in line
    assert not (tmp_path / "parts").exists()
    assert leftovers(tmp_path) == []


@pytest.mark.parametrize("sizes, shards, shard_size, expected", [
    ([5, 5, 5, 5], 2, None, [0, 2]),
    ([100, 1, 1, 1], 3, None, [0, 1, 2]),  # one big file: still three shards
    ([1, 1, 1, 100], 3, None, [0, 2, 3]),  # later shards start where the files would run short
    ([1, 1], 5, None, [0, 1]),  # never more shards than files
    ([], 4, None, [0]),
    ([3, 3, 3, 10, 1], None, 6, [0, 2, 3, 4]),  # a file larger than the size is a shard alone
    ([0, 0, 0], 2, None, [0, 2]),
])
def test_shard_starts(sizes, shards, shard_size, expected):
    assert shard_starts(sizes, shards, shard_size) == expected


def test_each_shard_carries_the_directories_above_its_files(corpus):
    tree = walk_inputs([str(corpus)])
    parts = split_tree(tree, 5, None)
    assert [entry.stored for part in parts for entry in part.entries if entry.kind != "dir"] == \
        [entry.stored for entry in tree.entries if entry.kind != "dir"]
    for part in parts:
        held = {entry.stored for entry in part.entries if entry.kind == "dir"}
        for entry in part.entries:
            parent = entry.stored.rpartition(b"/")[0]
            assert not parent or parent in held, entry.stored
