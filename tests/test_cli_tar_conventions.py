"""`qvc pack` follows tar where a tree is awkward: what cannot be read is left out and listed,
hard links stay links, `.` packs the current directory, --exclude, paths of any length."""

from __future__ import annotations

import errno
import os
from pathlib import Path

import pytest

from qvc_cli.input_tree import WalkOptions, walk_inputs
from qvc_cli.main import main


def run(*args) -> int:
    return main([str(arg) for arg in args])


def make_unreadable(path: Path, monkeypatch) -> None:
    """Takes away read permission; as root, which reads anything, the system's refusal is
    played instead for that one path."""
    if os.geteuid() != 0:
        path.chmod(0)
        return
    denied = os.fsencode(path.name)

    def refusing(call):
        def refused(target, *args, **kwargs):
            name = os.path.basename(os.fsencode(target)) if isinstance(target, (str, bytes, os.PathLike)) else b""
            if name == denied:
                raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), os.fsdecode(target))
            return call(target, *args, **kwargs)
        return refused

    monkeypatch.setattr(os, "open", refusing(os.open))
    monkeypatch.setattr(os, "scandir", refusing(os.scandir))


@pytest.fixture
def tree(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "t" / "sub").mkdir(parents=True)
    (tmp_path / "t" / "a.txt").write_text("alpha beta\n")
    (tmp_path / "t" / "sub" / "b.txt").write_text("gamma\n")
    return tmp_path / "t"


@pytest.mark.parametrize("unreadable", ["a.txt", "sub"])
@pytest.mark.parametrize("strict", [False, True])
def test_what_cannot_be_read_is_left_out_listed_with_status_2_or_stops_with_strict(
        tree, monkeypatch, capsys, unreadable, strict):
    with monkeypatch.context() as refusing:
        make_unreadable(tree / unreadable, refusing)
        status = run("pack", "p.qvc", "t", *(["--strict"] if strict else []))
    err = capsys.readouterr().err
    assert f"t/{unreadable}: Permission denied" in err
    if strict:
        assert status == 1 and not os.path.exists("p.qvc")
        return
    assert status == 2 and "1 input could not be read and was left out" in err
    assert run("unpack", "p.qvc", "-o", "out") == 0
    restored = {str(path.relative_to("out")) for path in Path("out").rglob("*")}
    kept = {"t", "t/a.txt", "t/sub", "t/sub/b.txt"}
    assert restored == {path for path in kept if not path.startswith(f"t/{unreadable}")}


def test_a_followed_link_that_loops_is_left_out(tree, capsys):
    os.symlink("loop2", tree / "loop1")
    os.symlink("loop1", tree / "loop2")
    assert run("pack", "-L", "p.qvc", "t") == 2
    err = capsys.readouterr().err
    assert "t/loop1: Too many levels of symbolic links" in err and "t/loop2" in err
    assert run("unpack", "p.qvc", "-o", "out") == 0
    assert sorted(os.listdir("out/t")) == ["a.txt", "sub"]


def test_hard_links_are_stored_once_and_restored_as_links(tree, capsys):
    os.link(tree / "a.txt", tree / "sub" / "again.txt")
    os.link(tree / "a.txt", tree / "z.txt")
    assert run("pack", "p.qvc", "t") == 0
    assert "packed 2 files" in capsys.readouterr().out
    assert run("check", "p.qvc") == 0
    assert run("unpack", "p.qvc", "-o", "out") == 0
    first = os.stat("out/t/a.txt")
    assert first.st_nlink == 3
    for other in ("out/t/sub/again.txt", "out/t/z.txt"):
        assert os.path.samestat(os.stat(other), first)
    assert Path("out/t/z.txt").read_text() == "alpha beta\n"
    # One name alone brings the file it shares its data with.
    assert run("unpack", "p.qvc", "-o", "some", "t/z.txt") == 0
    assert os.path.samestat(os.stat("some/t/z.txt"), os.stat("some/t/a.txt"))
    assert run("info", "p.qvc") == 0
    assert "t/z.txt link to t/a.txt" in capsys.readouterr().out
    assert run("unpack", "p.qvc", "-c", "t/z.txt") == 0
    assert capsys.readouterr().out == "alpha beta\n"


@pytest.mark.parametrize("replace", [False, True])
def test_the_current_directory_packs_with_the_package_inside_it(tree, monkeypatch, replace):
    monkeypatch.chdir(tree)
    if replace:
        Path("x.qvc").write_bytes(b"an older package")
    assert run("pack", "x.qvc", ".", *(["--force"] if replace else [])) == 0
    assert run("unpack", "x.qvc", "-o", tree.parent / "out") == 0
    restored = {str(path.relative_to(tree.parent / "out")) for path in (tree.parent / "out").rglob("*")}
    assert restored == {"a.txt", "sub", "sub/b.txt"}


@pytest.mark.parametrize("patterns, left", [
    (["*.log"], {"t/a.txt", "t/sub", "t/sub/b.txt", "t/sub/keep.txt"}),
    (["sub"], {"t/a.txt", "t/x.log"}),
    (["t/sub/b.txt", "x.*"], {"t/a.txt", "t/sub", "t/sub/keep.txt"}),
    (["*/sub/*"], {"t/a.txt", "t/sub", "t/x.log"}),
    (["t"], set()),
    (["nothing*"], {"t/a.txt", "t/sub", "t/sub/b.txt", "t/sub/keep.txt", "t/x.log"}),
])
def test_excluded_globs_leave_out_entries_and_what_lies_below(tree, patterns, left):
    (tree / "x.log").write_text("log\n")
    (tree / "sub" / "keep.txt").write_text("kept\n")
    walked = walk_inputs(["t"], WalkOptions(excluded=patterns))
    assert {os.fsdecode(entry.stored) for entry in walked.entries} - {"t"} == left


def test_paths_longer_than_the_system_takes_at_once(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    os.mkdir("deep")
    fd = os.open("deep", os.O_RDONLY)
    components = ["d" * 250 + str(number) for number in range(24)]  # about 6,000 bytes
    for name in components:
        os.mkdir(name, dir_fd=fd)
        fd, parent = os.open(name, os.O_RDONLY, dir_fd=fd), fd
        os.close(parent)
    with open(os.open("end.txt", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd), "w") as f:
        f.write("at the very end\n")
    os.close(fd)
    assert run("pack", "deep.qvc", "deep") == 0
    stored = "/".join(["deep", *components, "end.txt"])
    assert len(stored) > 4096
    assert run("unpack", "deep.qvc", "-c", stored) == 0
    assert capsys.readouterr().out.endswith("at the very end\n")


def test_hard_links_restore_across_more_directories_than_are_held_open(tree, monkeypatch, capsys):
    import base64
    import json

    from qvc_cli import restoring

    for number in range(6):
        (tree / f"d{number}").mkdir()
        (tree / f"d{number}" / "f.txt").write_text(f"file {number}\n")
    os.link(tree / "d0" / "f.txt", tree / "d5" / "same.txt")
    # Much other text: one file alone is then read without building the whole vocabulary.
    (tree / "big.txt").write_text(" ".join(f"word{n}" for n in range(40_000)) + "\n")
    assert run("pack", "p.qvc", "t") == 0
    monkeypatch.setattr(restoring, "OPEN_DIRECTORIES", 2)
    assert run("unpack", "p.qvc", "-o", "out") == 0
    assert os.path.samestat(os.stat("out/t/d5/same.txt"), os.stat("out/t/d0/f.txt"))
    assert os.stat("out/t/d0/f.txt").st_nlink == 2

    def whole_package_read(*args):
        raise AssertionError("the whole package was read for one file")

    with monkeypatch.context() as part_only:
        part_only.setattr(restoring, "load", whole_package_read)
        assert run("unpack", "p.qvc", "-o", "one", "t/d5/same.txt") == 0
    assert os.path.samestat(os.stat("one/t/d5/same.txt"), os.stat("one/t/d0/f.txt"))
    assert Path("one/t/d5/same.txt").read_text() == "file 0\n"
    assert not os.path.exists("one/t/big.txt")
    capsys.readouterr()
    assert run("info", "p.qvc", "--json") == 0
    entries = {entry["path"]: entry for entry in json.loads(capsys.readouterr().out)["entries"]}
    link = entries["t/d5/same.txt"]
    assert link["kind"] == "hardlink" and link["target"] == "t/d0/f.txt"
    assert base64.b64decode(link["target_bytes"]) == b"t/d0/f.txt"
