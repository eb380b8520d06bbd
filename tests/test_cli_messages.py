"""One line for every expected failure, the same from every subcommand, and the right status."""

import errno
import os
import pickle
import re
import sys

import pytest
import zstandard

from cli_support import assert_one_line_failure, qvc
from conftest import UNDER_SANITIZER
from qvc_cli import packing
from qvc_cli.failures import Failure
from qvc_cli.main import main
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


@pytest.mark.parametrize("argv, usage, status", [
    (["pack", "out.qvc", "a.txt", "--bogus"], "usage: qvc pack", 2),
    (["pack", "out.qvc", "-", "-"], "usage: qvc pack", 2),
    (["info", "p.qvc", "--bogus"], "usage: qvc info", 2),
    (["list", "p.qvc", "--bogus"], "usage: qvc list", 2),
    (["list", "--help"], "usage: qvc list", 0),
    (["unpack"], "usage: qvc unpack", 2),
])
def test_a_usage_error_shows_the_subcommands_usage(capsys, argv, usage, status):
    with pytest.raises(SystemExit) as exited:
        main(argv)
    said = capsys.readouterr()
    assert exited.value.code == status
    assert (said.out + said.err).startswith(usage)
    if argv == ["unpack"]:
        assert said.err.rstrip().endswith("required: PACKAGE")


def test_counts_and_sizes_read_as_words(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "a.txt").write_text("a")
    assert main(["pack", "a.qvc", "a.txt"]) == 0
    summary = capsys.readouterr().out
    assert "packed 1 file, 1 byte -> " in summary and "%" not in summary.splitlines()[0]
    assert re.search(r"\(\d+ times the input\)", summary)
    assert main(["unpack", "a.qvc", "-o", "out"]) == 0
    assert main(["unpack", "a.qvc", "-o", "out"]) == 1
    assert "out: 1 file exists already (a.txt); use --force to replace it" in capsys.readouterr().err


STR8_VOCABULARY = {
    # A pickle of protocol 2 with an old byte string (non-ASCII) where a token belongs.
    "dictionary": b"\x80\x02}q\x00(U\x04dict}q\x01U\x03\xe9abK\x01sU\x07next_idK\x02u.",
    "package": b"\x80\x02}q\x00(U\ncompressedC\x00U\x0ffile_boundaries]U\tfilenames]"
               b"U\x0bglobal_dict}U\x03\xe9abK\x01su.",
}


@pytest.mark.parametrize("kind", STR8_VOCABULARY)
def test_bytes_where_text_belongs_are_named_not_a_codec_error(tmp_path, kind):
    path = tmp_path / "input"
    path.write_bytes(STR8_VOCABULARY[kind])
    (tmp_path / "a.txt").write_text("x\n")
    command = ["pack", "out.qvc", "a.txt", "--dict", path] if kind == "dictionary" else ["info", path]
    line = assert_one_line_failure(qvc(*command, cwd=tmp_path))
    assert str(path) in line and "codec" not in line


@pytest.mark.parametrize("output", ["package", "standard output"])
def test_a_full_disk_is_named_by_the_users_path_or_the_temporary_directory(tmp_path, monkeypatch, output):
    (tmp_path / "a.txt").write_text(" ".join(f"word{number}" for number in range(40_000)))
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    monkeypatch.setenv("TMPDIR", str(scratch))
    target = "out.qvc" if output == "package" else "-"
    line = assert_one_line_failure(qvc("pack", target, "a.txt", cwd=tmp_path, limit_file_size=20_000))
    where = "out.qvc" if output == "package" else f"{scratch} (the temporary directory"
    assert line.startswith(f"qvc pack: {where}") and "File too large" in line
    assert ".qvc-" not in line
    assert not os.listdir(scratch) and sorted(os.listdir(tmp_path)) == ["a.txt", "scratch"]


@pytest.mark.parametrize("error, expected", [
    (OSError(28, "No space left on device"), True), (Failure("x: wrong"), True),
    (KeyError("entries"), False), (TypeError("bad argument"), False), (AttributeError("missing"), False),
])
def test_only_our_failures_and_the_systems_are_one_line(tmp_path, monkeypatch, capsys, error, expected):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "a.txt").write_text("x\n")

    def failing(*args, **kwargs):
        raise error

    monkeypatch.setattr(packing, "pack", failing)
    if expected:
        assert main(["pack", "out.qvc", "a.txt"]) == 1
        assert len(capsys.readouterr().err.splitlines()) == 1
    else:
        with pytest.raises(type(error)):
            main(["pack", "out.qvc", "a.txt"])


@pytest.mark.parametrize("command", ["pack", "unpack"])
def test_a_read_only_target_is_named_by_the_users_path(tmp_path, monkeypatch, capsys, command):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "a.txt").write_text("some words\n")
    assert main(["pack", "-q", "a.qvc", "a.txt"]) == 0
    (tmp_path / "target").mkdir()
    from qvc_cli import staging

    real_mkdtemp = staging.tempfile.mkdtemp

    def read_only(*args, dir=None, **kwargs):
        if dir is not None and os.path.basename(dir) == "target":
            raise OSError(errno.EROFS, os.strerror(errno.EROFS), os.path.join(dir, ".qvc-private"))
        return real_mkdtemp(*args, dir=dir, **kwargs)

    monkeypatch.setattr(staging.tempfile, "mkdtemp", read_only)
    arguments = ["pack", "target/b.qvc", "a.txt"] if command == "pack" else ["unpack", "a.qvc", "-o", "target"]
    assert main(arguments) == 1
    said = capsys.readouterr().err
    where = "target/b.qvc" if command == "pack" else "target"
    assert said == f"qvc {command}: {where}: cannot be written: Read-only file system" + \
        ("; nothing restored" if command == "unpack" else "") + "\n"
