"""Moving finished files into place, and taking every move back."""

import os

import pytest

from qvc_cli.staging import Placement


@pytest.fixture
def dirs(tmp_path):
    names = ("work", "backup", "target")
    for name in names:
        (tmp_path / name).mkdir()
    fds = {name: os.open(tmp_path / name, os.O_RDONLY | os.O_DIRECTORY) for name in names}
    yield tmp_path, fds
    for fd in fds.values():
        os.close(fd)


def listing(root):
    return {str(p.relative_to(root)): (p.read_bytes() if p.is_file() and not p.is_symlink() else
                                       os.readlink(p) if p.is_symlink() else "dir")
            for p in sorted(root.rglob("*"))}


def test_undo_puts_back_every_file_link_and_directory(dirs):
    root, fds = dirs
    (root / "work" / "new.txt").write_bytes(b"new")
    (root / "work" / "other.txt").write_bytes(b"other")
    (root / "target" / "old.txt").write_bytes(b"old")
    os.symlink("/nowhere", root / "target" / "in-the-way")
    before = listing(root)

    placement = Placement()
    placement.move(fds["work"], "new.txt", fds["target"], "old.txt", replace=True, backup_fd=fds["backup"])
    placement.make_directory(fds["target"], "in-the-way", replace=True, backup_fd=fds["backup"])
    placement.make_directory(fds["target"], "made", replace=False, backup_fd=fds["backup"])
    placement.move(fds["work"], "other.txt", fds["target"], b"other.txt", replace=False, backup_fd=fds["backup"])
    assert (root / "target" / "old.txt").read_bytes() == b"new"
    assert (root / "target" / "in-the-way").is_dir() and (root / "target" / "made").is_dir()

    placement.undo()
    after = listing(root)
    # What was replaced is back; the backup directory holds only links to it, if anything.
    assert {k: v for k, v in after.items() if not k.startswith("backup/")} == before


def test_a_move_never_replaces_unasked(dirs):
    root, fds = dirs
    (root / "work" / "new.txt").write_bytes(b"new")
    os.symlink(root / "backup" / "victim", root / "target" / "taken")
    placement = Placement()
    with pytest.raises(FileExistsError):
        placement.move(fds["work"], "new.txt", fds["target"], "taken", replace=False, backup_fd=fds["backup"])
    with pytest.raises(FileExistsError):
        placement.make_directory(fds["target"], "taken", replace=False, backup_fd=fds["backup"])
    assert os.readlink(root / "target" / "taken") == str(root / "backup" / "victim")
    assert not (root / "backup" / "victim").exists()
    assert (root / "work" / "new.txt").read_bytes() == b"new"


@pytest.mark.parametrize("failure", [None, OSError, KeyboardInterrupt])
def test_a_transaction_takes_back_its_steps_only_when_its_block_fails(tmp_path, failure):
    from qvc_cli.transaction import Transaction

    taken_back = []

    def undo(name):
        taken_back.append(name)
        if name == "second":
            raise OSError("this one cannot be taken back")

    def steps():
        with Transaction() as transaction:
            for name in ("first", "second", "third"):
                transaction.on_failure(undo, name)
            if failure is not None:
                raise failure()

    if failure is None:
        steps()
        assert taken_back == []
    else:
        with pytest.raises(failure):
            steps()
        # Newest first, and one undo that fails does not stop the others.
        assert taken_back == ["third", "second", "first"]


def test_a_failed_move_into_the_tree_takes_back_the_moves_before_it(tmp_path, monkeypatch, capsys):
    from qvc_cli.main import main

    (tmp_path / "src" / "sub").mkdir(parents=True)
    for name in ("a.txt", "sub/b.txt", "sub/c.txt"):
        (tmp_path / "src" / name).write_text(f"text of {name}\n")
    monkeypatch.chdir(tmp_path)
    assert main(["pack", "-q", "p.qvc", "src"]) == 0
    move = Placement.move

    def move_twice_then_fail(self, src_fd, src, dst_fd, dst, **kwargs):
        if os.fsdecode(dst) == "c.txt":
            raise OSError(28, "No space left on device")
        return move(self, src_fd, src, dst_fd, dst, **kwargs)

    monkeypatch.setattr(Placement, "move", move_twice_then_fail)
    assert main(["unpack", "p.qvc", "-o", "out"]) == 1
    assert "out/src/sub/c.txt: No space left on device; nothing restored" in capsys.readouterr().err
    assert not (tmp_path / "out").exists()


def test_a_failure_late_in_a_deep_tree_takes_back_directories_no_longer_open(tmp_path, monkeypatch, capsys):
    from qvc_cli import restoring
    from qvc_cli.main import main

    for top in ("a", "b", "c"):
        (tmp_path / "src" / top / "x" / "y").mkdir(parents=True)
        (tmp_path / "src" / top / "x" / "y" / "f.txt").write_text(f"{top}\n")
    monkeypatch.chdir(tmp_path)
    assert main(["pack", "-q", "p.qvc", "src"]) == 0
    (tmp_path / "out" / "src" / "b").mkdir(parents=True)
    (tmp_path / "out" / "src" / "b" / "mine.txt").write_text("mine\n")
    before = listing(tmp_path / "out")
    monkeypatch.setattr(restoring, "OPEN_DIRECTORIES", 2)
    move = Placement.move

    def fail_at_the_last_file(self, src_fd, src, dst_fd, dst, **kwargs):
        if kwargs.get("where") == b"src/c/x/y":
            raise OSError(28, "No space left on device")
        return move(self, src_fd, src, dst_fd, dst, **kwargs)

    monkeypatch.setattr(Placement, "move", fail_at_the_last_file)
    assert main(["unpack", "p.qvc", "-o", "out"]) == 1
    assert "out/src/c/x/y/f.txt: No space left on device; nothing restored" in capsys.readouterr().err
    assert listing(tmp_path / "out") == before
