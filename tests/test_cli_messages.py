"""One line for every expected failure, the same from every subcommand, and the right status."""

import os
import pickle
import sys

import pytest
import zstandard

from cli_support import assert_one_line_failure, qvc
from conftest import UNDER_SANITIZER
from qvc_compressor import QVCompressor


def make(kind, tmp_path):
    path = tmp_path / "input"
    if kind == "text":
        path.write_text("Just some notes.\n")
    elif kind == "empty":
        path.write_bytes(b"")
    elif kind == "dictionary":
        path.write_bytes(pickle.dumps({"dict": {"a": 1}, "next_id": 2}))
    elif kind == "binary":
        path.write_bytes(bytes(range(256)) * 4)
    elif kind in ("truncated", "frame"):
        (tmp_path / "a.txt").write_text("alpha beta\n" * 100)
        QVCompressor(str(tmp_path / "unused.bin")).encode_files([str(tmp_path / "a.txt")], str(path))
        data = path.read_bytes()
        if kind == "truncated":
            path.write_bytes(data[:len(data) // 2])
        else:
            frame = pickle.loads(data)["compressed"]
            path.write_bytes(data.replace(frame[:4], b"XXXX", 1))
    return path


@pytest.mark.parametrize("kind, words", [
    ("text", "not a qvc package (it is a text file)"),
    ("empty", "not a qvc package (it is empty)"),
    ("dictionary", "not a qvc package (it is a dictionary file)"),
    ("binary", "not a qvc package (its contents are not recognised)"),
    ("truncated", "damaged qvc package (it ends early)"),
    ("frame", "damaged qvc package (its compressed stream is unreadable)"),
])
def test_one_file_gets_one_message_from_every_subcommand(tmp_path, kind, words):
    path = make(kind, tmp_path)
    lines = set()
    for command in (["info"], ["check"], ["unpack", "-o", tmp_path / "out"], ["unpack", "-c", "a.txt"]):
        line = assert_one_line_failure(qvc(command[0], path, *command[1:]))
        lines.add(line.split(": ", 1)[1])
    assert lines == {f"{path}: {words}"}
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("kind, words", [("text", "it is a text file"), ("binary", "its contents are not recognised")])
def test_a_dictionary_that_is_not_one_is_named(tmp_path, kind, words):
    path = make(kind, tmp_path)
    (tmp_path / "a.txt").write_text("x\n")
    line = assert_one_line_failure(qvc("pack", "out.qvc", "a.txt", "--dict", path, cwd=tmp_path))
    assert line.endswith(f"{path}: not a dictionary file ({words})")


def levels():
    low, high = -zstandard.TARGETLENGTH_MAX, zstandard.MAX_COMPRESSION_LEVEL
    return [(low - 1, 2), (low, 0), (high, 0), (high + 1, 2), (-200000, 2), (100, 2)]


@pytest.mark.parametrize("option, value, status", [
    *[("--level", level, status) for level, status in levels()],
    ("--threads", -1, 2), ("--threads", 0, 0), ("--threads", 256, 0), ("--threads", 257, 2), ("--threads", 100000, 2),
    ("--level", "x", 2), ("--threads", "1.5", 2),
])
def test_levels_and_threads_out_of_range_are_usage_errors(tmp_path, option, value, status):
    (tmp_path / "a.txt").write_text("some text\n")
    result = qvc("pack", "out.qvc", "a.txt", option, value, cwd=tmp_path)
    assert result.returncode == status, result.stderr
    if status == 2:
        assert "usage:" in result.stderr and option in result.stderr
        assert not (tmp_path / "out.qvc").exists()


def test_a_usage_error_reads_nothing(tmp_path):
    """The input is a FIFO nobody writes: reading it would hang."""
    os.mkfifo(tmp_path / "fifo")
    result = qvc("info", tmp_path / "fifo", "--bogus", timeout=60)
    assert result.returncode == 2


@pytest.mark.skipif(UNDER_SANITIZER, reason="an address space limit leaves no room for the sanitizer's shadow memory")
def test_running_out_of_memory_is_one_line(tmp_path):
    (tmp_path / "in").mkdir()
    words = " ".join(f"w{i}" for i in range(400_000))
    for number in range(3):
        (tmp_path / "in" / f"f{number}.txt").write_text(words + f" {number}\n")
    # The largest space that packing does not fit in: room for the interpreter, not the work.
    for megabytes in (150, 130, 115, 100):
        result = qvc("pack", "out.qvc", "in", "--threads", 0, cwd=tmp_path, address_space=megabytes << 20)
        if result.returncode != 0:
            break
        os.remove(tmp_path / "out.qvc")
    else:
        pytest.skip("packing fitted in every address space tried")
    line = assert_one_line_failure(result)
    assert line.startswith("qvc pack: out of memory while packing 3 files (")
    assert sorted(os.listdir(tmp_path)) == ["in"]
