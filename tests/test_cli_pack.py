"""`qvc pack`: what it refuses to overwrite, what it stores, and the dictionary it shares."""

import base64
import errno
import fcntl
import json
import os
import pickle
import pickletools
import random
import signal
import time

import pytest

from cli_support import (assert_one_line_failure, interrupt_when, leftovers, qvc, snapshot, start_qvc,
                         write_big_tree)
from qvc_cli.main import main
from qvc_compressor import QVCompressor


@pytest.fixture
def texts(tmp_path):
    (tmp_path / "BSD").write_text("Redistribution and use in source\n", encoding="utf-8")
    (tmp_path / "GPL").write_text("This program is free software\n", encoding="utf-8")
    directory = tmp_path / "docs"
    directory.mkdir()
    (directory / "a.txt").write_text("alpha beta\n", encoding="utf-8")
    return tmp_path


@pytest.mark.parametrize(
    "args, complaint",
    [
        (("BSD", "GPL"), "exists already"),  # the output name forgotten
        (("BSD", "BSD", "--force"), "is one of the inputs"),
        (("docs", "BSD"), "is a directory"),
    ],
)
def test_pack_never_replaces_an_input_or_unasked_output(texts, args, complaint):
    before = snapshot(texts)
    result = qvc("pack", *args, cwd=texts)
    line = assert_one_line_failure(result)
    assert complaint in line and args[0] in line
    assert snapshot(texts) == before


def test_pack_refuses_an_output_hard_linked_to_an_input(texts):
    os.link(texts / "GPL", texts / "other-name")
    before = snapshot(texts)
    assert_one_line_failure(qvc("pack", "other-name", "GPL", "--force", cwd=texts))
    assert snapshot(texts) == before


def test_force_replaces_an_existing_output(texts):
    (texts / "out.qvc").write_bytes(b"old")
    assert qvc("pack", "out.qvc", "BSD", "--force", cwd=texts).returncode == 0
    with open(texts / "out.qvc", "rb") as f:
        assert pickle.load(f)["filenames"] == ["BSD"]


def make_package(directory, name="made.qvc"):
    compressor = QVCompressor(str(directory / "unused.bin"))
    compressor.encode_files([str(directory / "BSD")], str(directory / name))
    return directory / name


@pytest.mark.parametrize("kind", ["package", "text", "pickled list", "empty"])
def test_dict_refuses_anything_but_a_dictionary_file(texts, kind):
    dictionary = texts / "dict.bin"
    if kind == "package":
        dictionary = make_package(texts)
    elif kind == "text":
        dictionary.write_text("not a pickle\n")
    elif kind == "pickled list":
        dictionary.write_bytes(pickle.dumps(["dict", 1]))
    else:
        dictionary.write_bytes(b"")
    before = snapshot(texts)
    line = assert_one_line_failure(qvc("pack", "out.qvc", "GPL", "--dict", dictionary, cwd=texts))
    assert str(dictionary) in line and "not a dictionary file" in line
    assert snapshot(texts) == before


def test_dict_accepts_a_dictionary_file_of_any_protocol_and_creates_a_missing_one(texts):
    old = texts / "old.bin"
    old.write_bytes(pickle.dumps({"next_id": 3, "dict": {"This": 1, " ": 2}}, protocol=0))
    assert qvc("pack", "one.qvc", "GPL", "--dict", old, cwd=texts).returncode == 0
    with open(old, "rb") as f:
        grown = pickle.load(f)
    assert grown["dict"]["This"] == 1 and grown["dict"]["program"] == 3
    fresh = texts / "new.bin"
    assert qvc("pack", "two.qvc", "GPL", "--dict", fresh, cwd=texts).returncode == 0
    assert fresh.exists() and leftovers(texts) == []


def without_lock(entries):
    """A snapshot less the dictionary's lock file, which a run may open and truncate."""
    return {path: entry for path, entry in entries.items() if not path.endswith(".lock")}


@pytest.fixture
def grown_dictionary(texts):
    many = " ".join(f"word{i}" for i in range(20000))
    (texts / "many.txt").write_text(many, encoding="utf-8")
    dictionary = texts / "dict.bin"
    assert qvc("pack", "first.qvc", "GPL", "--dict", dictionary, cwd=texts).returncode == 0
    return dictionary


def test_a_package_that_cannot_be_written_leaves_the_dictionary(texts, grown_dictionary):
    before = snapshot(texts)
    # Room for the grown dictionary (about 200 KB), none for the package, which holds it too.
    result = qvc("pack", "second.qvc", "many.txt", "--dict", grown_dictionary, cwd=texts,
                 limit_file_size=300_000)
    line = assert_one_line_failure(result)
    assert "second.qvc" in line and "too large" in line
    assert without_lock(snapshot(texts)) == without_lock(before)
    assert leftovers(texts) == []


def test_a_package_that_cannot_be_put_in_place_takes_back_the_saved_dictionary(texts, grown_dictionary):
    before = grown_dictionary.read_bytes()
    with open(str(grown_dictionary) + ".lock", "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        process = start_qvc("pack", "second.qvc", "many.txt", "--dict", grown_dictionary, cwd=texts)
        # The run checked its output name, then waits for the lock: the name is taken meanwhile.
        while "waiting" not in process.stderr.readline():
            pass
        (texts / "second.qvc").write_bytes(b"someone else's")
        fcntl.flock(lock, fcntl.LOCK_UN)
    _, stderr = process.communicate(timeout=120)
    assert process.returncode == 1 and "second.qvc: exists already" in stderr
    assert (texts / "second.qvc").read_bytes() == b"someone else's"
    assert grown_dictionary.read_bytes() == before
    assert leftovers(texts) == []


def test_concurrent_runs_on_one_dictionary_lose_nothing(tmp_path):
    runs = 4
    for run in range(runs):
        words = " ".join(f"shared{i} only{run}x{i}" for i in range(3000))
        (tmp_path / f"in{run}.txt").write_text(words + "\n", encoding="utf-8")
    dictionary = tmp_path / "dict.bin"
    processes = [start_qvc("pack", f"out{run}.qvc", f"in{run}.txt", "--dict", dictionary, cwd=tmp_path)
                 for run in range(runs)]
    for process in processes:
        _, stderr = process.communicate(timeout=300)
        assert process.returncode == 0, stderr
    with open(dictionary, "rb") as f:
        saved = pickle.load(f)
    vocabulary = saved["dict"]
    # Every run's tokens are there, no id has two meanings, and next_id lies above them all.
    assert len(vocabulary) == 2 + 3000 + runs * 3000
    assert len(set(vocabulary.values())) == len(vocabulary)
    assert saved["next_id"] == max(vocabulary.values()) + 1
    for run in range(runs):
        with open(tmp_path / f"out{run}.qvc", "rb") as f:
            stored = pickle.load(f)["global_dict"]
        # Each package's vocabulary is a part of the final one, with the same ids.
        assert stored.items() <= vocabulary.items()
        assert f"only{run}x2999" in stored


def test_a_run_waits_for_the_dictionary_lock(texts):
    dictionary = texts / "dict.bin"
    with open(str(dictionary) + ".lock", "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        process = start_qvc("pack", "out.qvc", "GPL", "--dict", dictionary, cwd=texts)
        deadline = time.monotonic() + 3
        while time.monotonic() < deadline and process.poll() is None:
            time.sleep(0.05)
        still_waiting = process.poll() is None
        fcntl.flock(lock, fcntl.LOCK_UN)
    _, stderr = process.communicate(timeout=120)
    assert still_waiting and "waiting for another run" in stderr
    assert process.returncode == 0 and dictionary.exists()


@pytest.fixture
def tree(tmp_path):
    """A tree with what trips simple archivers: clashing base names, every kind of line end,
    private and executable modes, old times, links, an empty file and an empty directory."""
    root = tmp_path / "src"
    for directory in ("a/b", "c", "empty", ".git/logs"):
        (root / directory).mkdir(parents=True)
    files = {
        "a/AUTHORS": b"first\n", "c/AUTHORS": b"second\n", "a/b/AUTHORS": b"third\n",
        ".git/HEAD": b"ref: main\n", ".git/logs/HEAD": b"0000 1111\n",
        "a/crlf.txt": b"one\r\ntwo\r\n", "a/cr.txt": b"old\rmac\r", "c/none.txt": b"no newline",
        "c/mixed.txt": b"\r\n\n\r\r\r\n\n\rx\r\n\r", "c/empty.txt": b"",
        "c/bom.txt": "\ufeffd\u00e9j\u00e0 \u4e00\r\n".encode(), "run.sh": b"#!/bin/sh\necho hi\n",
    }
    for path, data in files.items():
        (root / path).write_bytes(data)
    (root / "a/AUTHORS").chmod(0o600)
    (root / "run.sh").chmod(0o755)
    os.symlink("a/crlf.txt", root / "link")
    os.symlink("/nonexistent/target", root / "c/dangling")
    for number, path in enumerate(sorted(files)):
        os.utime(root / path, ns=(0, 1_000_000_000_123_456_789 + number * 1_000_000_007))
    os.utime(root / "link", ns=(0, 999), follow_symlinks=False)
    for directory in ("a/b", "c", "empty", "a"):
        os.utime(root / directory, ns=(0, 1_200_000_000_000_000_000))
    (root / "a").chmod(0o750)
    return root


def test_tree_round_trips_exactly(tree, tmp_path):
    packed = qvc("pack", "tree.qvc", "src", cwd=tmp_path)
    assert packed.returncode == 0, packed.stderr
    assert packed.stderr == ""
    unpacked = qvc("unpack", "tree.qvc", "-o", "restored", cwd=tmp_path)
    assert unpacked.returncode == 0, unpacked.stderr
    assert "every digest verified" in unpacked.stdout
    assert snapshot(tmp_path / "restored" / "src") == snapshot(tree)


def test_package_is_one_pickle_a_plain_decoder_restores_in_full(tree, tmp_path):
    assert qvc("pack", "tree.qvc", "src", cwd=tmp_path).returncode == 0
    data = (tmp_path / "tree.qvc").read_bytes()
    # One stream, STOP as its last byte, for the C unpickler and the pure-Python one alike.
    opcodes = list(pickletools.genops(data))
    assert opcodes[-1][0].name == "STOP" and opcodes[-1][2] == len(data) - 1
    loaded = pickle.loads(data)
    assert pickle._loads(data).keys() == loaded.keys()
    assert list(loaded)[:4] == ["compressed", "file_boundaries", "filenames", "global_dict"]
    names = QVCompressor(str(tmp_path / "unused.bin")).decode_package(str(tmp_path / "tree.qvc"),
                                                                       str(tmp_path / "plain"))
    assert sorted(names) == sorted(os.listdir(tmp_path / "plain"))
    assert len(names) == len(set(names)) == 12
    assert {"AUTHORS", "AUTHORS~1", "AUTHORS~2", "HEAD", "HEAD~1"} <= set(names)
    # Every file's text as the library reads it: universal newlines.
    originals = sorted(p.read_bytes().replace(b"\r\n", b"\n").replace(b"\r", b"\n")
                       for p in tree.rglob("*") if p.is_file() and not p.is_symlink())
    assert sorted(p.read_bytes() for p in (tmp_path / "plain").iterdir()) == originals


def test_special_files_are_skipped_with_a_warning(tree, tmp_path):
    os.mkfifo(tree / "pipe")
    result = qvc("pack", "tree.qvc", "src", cwd=tmp_path, timeout=60)
    assert result.returncode == 0, result.stderr
    assert "src/pipe: a FIFO" in result.stderr and "left out" in result.stdout


def test_dereference_packs_what_links_point_to(tree, tmp_path):
    assert qvc("pack", "tree.qvc", "src/link", "--dereference", cwd=tmp_path).returncode == 0
    assert qvc("unpack", "tree.qvc", cwd=tmp_path).returncode == 0
    restored = tmp_path / "tree" / "link"
    assert not restored.is_symlink() and restored.read_bytes() == b"one\r\ntwo\r\n"


def test_two_inputs_for_one_path_are_refused(tmp_path):
    for directory in ("x", "y"):
        (tmp_path / directory).mkdir()
        (tmp_path / directory / "notes.txt").write_text(directory)
    line = assert_one_line_failure(qvc("pack", "out.qvc", "x/notes.txt", "y/notes.txt", cwd=tmp_path))
    assert "x/notes.txt" in line and "y/notes.txt" in line
    assert not (tmp_path / "out.qvc").exists()


@pytest.fixture
def mixed_validity(tmp_path):
    root = tmp_path / "mixed"
    root.mkdir()
    (root / "good.txt").write_text("fine text\n")
    (root / "latin1.txt").write_bytes("ok so far, caf\u00e9\n".encode("latin-1"))
    (root / "truncated.txt").write_bytes("\u00e9t\u00e9".encode()[:-1])
    return tmp_path


def test_a_file_that_is_not_utf8_is_named_with_its_offset(mixed_validity):
    line = assert_one_line_failure(qvc("pack", "out.qvc", "mixed", cwd=mixed_validity))
    assert "mixed/latin1.txt" in line and "offset 14" in line
    assert sorted(os.listdir(mixed_validity)) == ["mixed"]


def test_skip_invalid_leaves_out_and_lists_what_is_not_utf8(mixed_validity):
    result = qvc("pack", "out.qvc", "mixed", "--skip-invalid", cwd=mixed_validity)
    assert result.returncode == 0, result.stderr
    assert "mixed/latin1.txt: not UTF-8 text (invalid byte at offset 14)" in result.stderr
    assert "mixed/truncated.txt: not UTF-8 text (invalid byte at offset 3)" in result.stderr
    assert "packed 1 file (" in result.stdout and "2 left out" in result.stdout
    assert qvc("unpack", "out.qvc", cwd=mixed_validity).returncode == 0
    assert os.listdir(mixed_validity / "out" / "mixed") == ["good.txt"]


def test_packing_the_current_directory_twice(mixed_validity):
    """The second run meets the first run's package, which is not text."""
    work = mixed_validity / "mixed"
    assert qvc("pack", "../one.qvc", ".", "--skip-invalid", cwd=work).returncode == 0
    (work / "one.qvc").write_bytes((mixed_validity / "one.qvc").read_bytes())
    result = qvc("pack", "../two.qvc", ".", "--skip-invalid", cwd=work)
    assert result.returncode == 0 and "./one.qvc: not UTF-8" in result.stderr


def test_full_disk_while_packing_leaves_nothing(tree, tmp_path):
    line = assert_one_line_failure(qvc("pack", "tree.qvc", "src", cwd=tmp_path, limit_file_size=1000))
    assert "tree.qvc" in line
    assert sorted(os.listdir(tmp_path)) == ["src"]


@pytest.mark.parametrize("delay", [0.0, 0.3])
def test_ctrl_c_while_packing_leaves_nothing(tmp_path, delay):
    write_big_tree(tmp_path / "big", size=24_000_000)
    dictionary = tmp_path / "dict.bin"
    dictionary.write_bytes(pickle.dumps({"dict": {"kept": 1}, "next_id": 2}))
    before = snapshot(tmp_path)
    process = start_qvc("pack", "big.qvc", "big", "--dict", dictionary, cwd=tmp_path)
    stderr = interrupt_when(process, lambda: bool(leftovers(tmp_path)), delay)
    if process.returncode == 0:
        pytest.skip("the pack finished before the signal came")
    # Once the work is over the interpreter shuts down with the signal's default action back in
    # place, and a late Ctrl-C ends it silently; the package must then be whole.
    if process.returncode == -signal.SIGINT and not stderr:
        assert qvc("check", "big.qvc", cwd=tmp_path).returncode == 0
        pytest.skip("the signal came as the finished pack was exiting")
    assert process.returncode == 130, stderr
    assert "Traceback" not in stderr
    assert without_lock(snapshot(tmp_path)) == before


@pytest.mark.parametrize("command", ["pack", "unpack"])
def test_ctrl_c_once_everything_is_in_place_says_it_is(tmp_path, monkeypatch, capsys, command):
    """A Ctrl-C waits while files are moved into place; arriving then, it must not be reported as
    though nothing had been written."""
    from qvc_cli.main import main
    from qvc_cli.staging import Placement

    (tmp_path / "src").mkdir()
    (tmp_path / "src" / "a.txt").write_text("alpha beta\r\n", encoding="utf-8")
    monkeypatch.chdir(tmp_path)
    if command == "unpack":
        assert main(["pack", "-q", "p.qvc", "src"]) == 0
    move = Placement.move

    def move_then_interrupt(self, *args, **kwargs):
        moved = move(self, *args, **kwargs)
        os.kill(os.getpid(), signal.SIGINT)  # held until every move is done
        return moved

    monkeypatch.setattr(Placement, "move", move_then_interrupt)
    arguments = ["pack", "p.qvc", "src"] if command == "pack" else ["unpack", "p.qvc", "-o", "out"]
    assert main(arguments) == 130
    said = capsys.readouterr().err
    assert said.count("\n") == 1 and "nothing left" not in said, said
    assert ("p.qvc was written in full" if command == "pack" else "restored into out") in said
    monkeypatch.setattr(Placement, "move", move)
    if command == "pack":
        assert main(["unpack", "-q", "p.qvc", "-o", "out"]) == 0
    assert (tmp_path / "out" / "src" / "a.txt").read_bytes() == b"alpha beta\r\n"


@pytest.mark.parametrize("kind, note", [
    ("base64", "few repeated tokens"),
    ("json lines", "few repeated tokens"),
    ("prose", None),
    ("tiny", "with so little text"),
])
def test_pack_says_when_the_package_is_not_much_smaller_than_its_input(tmp_path, monkeypatch, capsys, kind, note):
    monkeypatch.chdir(tmp_path)
    generator = random.Random(7)
    if kind == "base64":
        text = base64.encodebytes(generator.randbytes(150_000)).decode()
    elif kind == "json lines":
        text = "".join(json.dumps({"id": number, "value": generator.random()}, separators=(",", ":")) + "\n"
                       for number in range(5_000))
    elif kind == "prose":
        text = "the quick brown fox jumps over the lazy dog\n" * 5_000
    else:
        text = "a few words\n"
    (tmp_path / "in.txt").write_text(text)
    assert main(["pack", "out.qvc", "in.txt"]) == 0
    said = capsys.readouterr().out.splitlines()
    notes = [line for line in said if line.startswith("note: ")]
    ratio = os.path.getsize("out.qvc") / len(text)
    if note is None:
        assert notes == [] and ratio < 0.9
    else:
        assert len(notes) == 1 and note in notes[0] and ratio > 0.9


def test_a_package_that_cannot_be_put_in_place_takes_the_saved_dictionary_back(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "a.txt").write_text("old words\n")
    assert main(["pack", "first.qvc", "a.txt", "--dict", "shared.dict"]) == 0
    before = (tmp_path / "shared.dict").read_bytes()
    (tmp_path / "b.txt").write_text("entirely new vocabulary here\n")
    from qvc_cli import staging

    moved = []
    real_move = staging.Placement.move

    def move(self, src_fd, src, dst_fd, dst, **kwargs):
        if src == "package":
            raise OSError(errno.EIO, os.strerror(errno.EIO))
        moved.append(dst)
        return real_move(self, src_fd, src, dst_fd, dst, **kwargs)

    monkeypatch.setattr(staging.Placement, "move", move)
    assert main(["pack", "second.qvc", "b.txt", "--dict", "shared.dict"]) == 1
    assert moved == ["shared.dict"]
    assert "second.qvc: cannot be put in place" in capsys.readouterr().err
    assert (tmp_path / "shared.dict").read_bytes() == before
    assert sorted(name for name in os.listdir(tmp_path) if not name.endswith(".lock")) == \
        ["a.txt", "b.txt", "first.qvc", "shared.dict"]
