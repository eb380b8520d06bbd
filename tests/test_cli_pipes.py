"""`-` as standard input and output, single files to standard output, and a closed pipe."""

import fcntl
import os
import signal
import subprocess

import pytest

from cli_support import QVC, assert_one_line_failure, leftovers, qvc, snapshot
from pty_support import run_on_terminal


@pytest.fixture
def tree(tmp_path):
    root = tmp_path / "notes"
    (root / "sub").mkdir(parents=True)
    (root / "dos.txt").write_bytes(b"one\r\ntwo\r\n")
    (root / "sub" / "plain.md").write_bytes(b"# Plain\n\ntext\n")
    (root / "sub" / "more.md").write_bytes(b"more text\n")
    return root


def run(*args, stdin=b"", cwd=None):
    return subprocess.run([*QVC, *map(str, args)], input=stdin, capture_output=True, cwd=cwd, timeout=300)


def test_a_package_goes_to_standard_output_and_comes_back_from_standard_input(tree, tmp_path):
    packed = run("pack", "-", "notes", cwd=tmp_path)
    assert packed.returncode == 0, packed.stderr
    assert packed.stdout[:2] == b"\x80\x04" and b"packed 3 files" in packed.stderr
    assert leftovers(tmp_path) == [] and sorted(os.listdir(tmp_path)) == ["notes"]

    listed = run("info", "-", stdin=packed.stdout)
    assert listed.returncode == 0 and b"notes/sub/plain.md" in listed.stdout
    checked = run("check", "-", stdin=packed.stdout)
    assert checked.returncode == 0 and checked.stdout.startswith(b"standard input: intact")

    out = tmp_path / "out"
    out.mkdir()
    restored = run("unpack", "-", stdin=packed.stdout, cwd=out)
    assert restored.returncode == 0, restored.stderr
    assert snapshot(out / "notes") == snapshot(tree)
    assert leftovers(out) == []


def test_standard_input_is_packed_under_its_name(tmp_path):
    text = "d\u00e9j\u00e0 vu\r\nline two\n".encode()
    result = run("pack", "in.qvc", "-", "--name", "report.txt", stdin=text, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert run("unpack", "in.qvc", "-c", "report.txt", cwd=tmp_path).stdout == text
    default = run("pack", "default.qvc", "-", stdin=b"x\n", cwd=tmp_path)
    assert default.returncode == 0
    assert b"stdin" in run("info", "default.qvc", cwd=tmp_path).stdout


@pytest.mark.parametrize("text, complaint", [(b"caf\xe9\n", b"standard input: not UTF-8 text (invalid byte at offset 3)")])
def test_standard_input_that_is_not_text_is_refused_by_name(tmp_path, text, complaint):
    result = run("pack", "in.qvc", "-", stdin=text, cwd=tmp_path)
    assert result.returncode == 1 and complaint in result.stderr
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("name", ["a/b", "..", "", "x" * 256])
def test_a_name_for_standard_input_must_be_a_file_name(tmp_path, name):
    result = run("pack", "in.qvc", "-", "--name", name, stdin=b"x", cwd=tmp_path)
    assert result.returncode == 2 and b"usage:" in result.stderr


def test_standard_input_twice_is_a_usage_error(tmp_path):
    assert run("pack", "in.qvc", "-", "-", stdin=b"x", cwd=tmp_path).returncode == 2


def test_a_package_is_never_written_to_a_terminal(tree, tmp_path):
    result = run_on_terminal([*QVC, "pack", "-", "notes"], cwd=tmp_path, stdout_too=True)
    assert result.status == 1
    assert "standard output: is a terminal" in result.output and "Traceback" not in result.output
    assert sorted(os.listdir(tmp_path)) == ["notes"]


@pytest.mark.parametrize("command", ["info", "unpack", "check"])
def test_a_package_is_never_read_from_a_terminal(tmp_path, command):
    result = run_on_terminal([*QVC, command, "-"], cwd=tmp_path, stdin_too=True)
    assert result.status == 1 and "standard input: is a terminal" in result.output


def test_one_file_to_standard_output_exactly_as_packed(tree, tmp_path):
    assert qvc("pack", "notes.qvc", "notes", cwd=tmp_path).returncode == 0
    one = run("unpack", "notes.qvc", "-c", "notes/dos.txt", cwd=tmp_path)
    assert one.returncode == 0 and one.stdout == b"one\r\ntwo\r\n" and one.stderr == b""
    # A glob takes several, in package order; a directory everything below it.
    both = run("unpack", "notes.qvc", "notes/sub/*.md", "-c", cwd=tmp_path)
    assert both.stdout == b"more text\n# Plain\n\ntext\n"
    assert run("unpack", "notes.qvc", "-c", "notes/sub", cwd=tmp_path).stdout == both.stdout
    assert sorted(os.listdir(tmp_path)) == ["notes", "notes.qvc"]


def test_a_damaged_file_writes_not_a_byte(tree, tmp_path):
    assert qvc("pack", "notes.qvc", "notes", cwd=tmp_path).returncode == 0
    package = tmp_path / "notes.qvc"
    data = package.read_bytes()
    # The digest of dos.txt, the first file: the manifest's own digest is mended to match.
    import hashlib
    import pickle

    from test_cli_unpack import with_manifest

    tail = len(data) - 13
    length = int.from_bytes(data[tail + 2:tail + 10], "little")
    payload = data[tail - length:tail]
    content = pickle.loads(payload[:-32])
    content["digests"] = bytes(32) + content["digests"][32:]
    plain = data[:tail - length - 23] + b"."
    package.write_bytes(with_manifest(plain, content))
    assert hashlib.sha256(package.read_bytes()).digest() != hashlib.sha256(data).digest()
    result = run("unpack", "notes.qvc", "-c", "notes/dos.txt", cwd=tmp_path)
    assert result.returncode == 1 and result.stdout == b""
    assert b"damaged" in result.stderr and b"notes/dos.txt" in result.stderr


def test_a_pattern_that_matches_nothing_writes_nothing(tree, tmp_path):
    assert qvc("pack", "notes.qvc", "notes", cwd=tmp_path).returncode == 0
    result = run("unpack", "notes.qvc", "-c", "notes/missing.txt", cwd=tmp_path)
    assert result.returncode == 1 and result.stdout == b""
    assert b"not in the package: notes/missing.txt" in result.stderr


@pytest.mark.parametrize("args", [("info", "{package}"), ("unpack", "{package}", "-c"), ("pack", "-", "{tree}")])
def test_a_closed_pipe_ends_quietly_by_sigpipe(tmp_path, args):
    """As `qvc info p.qvc | head -1`: the reader goes away after one line."""
    tree = tmp_path / "tree"
    tree.mkdir()
    for number in range(400):
        # Words of their own: a package of megabytes, far more than a pipe holds.
        (tree / f"file{number:03}.txt").write_text("\n".join(f"w{number}x{i}" for i in range(500)))
    assert qvc("pack", "p.qvc", tree, cwd=tmp_path).returncode == 0
    command = [*QVC, *(a.format(package=tmp_path / "p.qvc", tree=tree) for a in args)]
    # The pipe holds one page: a listing of 400 lines cannot slip into it whole before the reader
    # goes away, however slowly the reader runs (as under a sanitizer).
    read_end, write_end = os.pipe()
    fcntl.fcntl(write_end, fcntl.F_SETPIPE_SZ, 4096)
    process = subprocess.Popen(command, stdout=write_end, stderr=subprocess.PIPE, cwd=tmp_path)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as reader:
        reader.readline()
    _, stderr = process.communicate(timeout=300)
    assert process.returncode == -signal.SIGPIPE, stderr
    assert stderr == b""
    assert leftovers(tmp_path) == [] and not any(name.startswith(".qvc-") for name in os.listdir("/tmp"))
