"""The `qvc` command line, driven as a user would: as a subprocess."""

import os
import pickle
import shutil
import subprocess
import sys
import sysconfig

import pytest
import zstandard

from conftest import UNDER_SANITIZER

QVC = [sys.executable, "-m", "qvc_cli"]


def qvc(*args, cwd=None):
    return subprocess.run([*QVC, *map(str, args)], capture_output=True, text=True, cwd=cwd, timeout=300)


def assert_one_line_failure(result, status=1):
    assert result.returncode == status, (result.stdout, result.stderr)
    assert "Traceback" not in result.stderr
    assert len(result.stderr.strip().splitlines()) == 1, result.stderr


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    """A few hundred real files with distinct base names: the standard library's top level, plus
    a nested directory tree."""
    root = tmp_path_factory.mktemp("corpus")
    stdlib = sysconfig.get_paths()["stdlib"]
    top = sorted(f for f in os.listdir(stdlib) if f.endswith(".py"))[:150]
    flat = root / "flat"
    flat.mkdir()
    for name in top:
        shutil.copyfile(os.path.join(stdlib, name), flat / name)
    tree = root / "tree" / "a" / "b"
    tree.mkdir(parents=True)
    (root / "tree" / "top.txt").write_text("top level\r\nwith CR LF\n", encoding="utf-8")
    (tree / "deep.md").write_text("d\u00e9j\u00e0 vu \u4e00\u4e8c\n\n  indented\n", encoding="utf-8")
    (root / "tree" / "a" / "empty.txt").write_text("", encoding="utf-8")
    return root


def tree_contents(root):
    """Every file under `root` by its path relative to `root`, with its exact bytes."""
    return {p.relative_to(root).as_posix(): p.read_bytes() for p in root.rglob("*") if p.is_file()}


def test_pack_info_unpack_restores_every_file(corpus, tmp_path):
    package = tmp_path / "corpus.qvc"
    packed = qvc("pack", package, corpus / "flat", corpus / "tree", "--level", 3, "--threads", 2)
    assert packed.returncode == 0, packed.stderr
    expected = {f"{top}/{path}": data for top in ("flat", "tree")
                for path, data in tree_contents(corpus / top).items()}
    assert f"packed {len(expected)} files" in packed.stdout

    info = qvc("info", package)
    assert info.returncode == 0, info.stderr
    lines = info.stdout.splitlines()
    assert f"total: {len(expected)} files (4 directories), {sum(map(len, expected.values())):,} bytes" in info.stdout
    empty = next(line for line in lines if line.endswith("  tree/a/empty.txt"))
    assert empty.startswith("-rw") and empty.split()[1] == "0" and empty.split()[-2] == "0"

    unpacked = qvc("unpack", package, cwd=tmp_path)
    assert unpacked.returncode == 0, unpacked.stderr
    # The whole tree, CR LF line ends included, byte for byte.
    assert tree_contents(tmp_path / "corpus") == expected


def test_directories_are_walked_in_sorted_order(corpus, tmp_path):
    package = tmp_path / "tree.qvc"
    assert qvc("pack", package, corpus / "tree").returncode == 0
    with open(package, "rb") as f:
        names = pickle.load(f)["filenames"]
    # a/b/deep.md, a/empty.txt, top.txt
    assert names == ["deep.md", "empty.txt", "top.txt"]


def test_clashing_base_names_are_packed_under_unique_names(tmp_path):
    for directory in ("one", "two"):
        (tmp_path / directory).mkdir()
        (tmp_path / directory / "same.txt").write_text(directory, encoding="utf-8")
    package = tmp_path / "out.qvc"
    result = qvc("pack", package, tmp_path / "one", tmp_path / "two")
    assert result.returncode == 0, result.stderr
    with open(package, "rb") as f:
        assert pickle.load(f)["filenames"] == ["same.txt", "same.txt~1"]
    assert qvc("unpack", package, "-o", tmp_path / "out").returncode == 0
    assert tree_contents(tmp_path / "out") == {"one/same.txt": b"one", "two/same.txt": b"two"}


def test_dictionary_file_persists_across_runs(tmp_path):
    text = tmp_path / "text.txt"
    text.write_text("alpha beta gamma alpha\n", encoding="utf-8")
    dictionary = tmp_path / "vocab.bin"
    first = qvc("pack", tmp_path / "one.qvc", text, "--dict", dictionary)
    assert first.returncode == 0, first.stderr
    assert "vocabulary 5 tokens (5 new)" in first.stdout
    with open(dictionary, "rb") as f:
        saved = pickle.load(f)
    assert saved == {"dict": {"alpha": 1, " ": 2, "beta": 3, "gamma": 4, "\n": 5}, "next_id": 6}

    other = tmp_path / "other.txt"
    other.write_text("alpha delta\n", encoding="utf-8")
    second = qvc("pack", tmp_path / "two.qvc", other, "--dict", dictionary)
    assert second.returncode == 0, second.stderr
    assert "vocabulary 6 tokens (1 new)" in second.stdout
    without = qvc("pack", tmp_path / "three.qvc", other)
    assert "(4 new)" in without.stdout


def hostile_package(path, marker):
    class RunsCommand:
        def __reduce__(self):
            return (os.system, (f"touch {marker}",))

    with open(path, "wb") as f:
        pickle.dump({"compressed": RunsCommand(), "file_boundaries": [], "filenames": []}, f)


def escaping_package(path, name):
    stream = (1).to_bytes(4, "big")
    package = {
        "compressed": zstandard.ZstdCompressor().compress(stream),
        "file_boundaries": [1],
        "filenames": [name],
        "global_dict": {"pwned": 1},
    }
    with open(path, "wb") as f:
        pickle.dump(package, f)


@pytest.mark.parametrize("command", ["info", "unpack"])
def test_hostile_package_runs_nothing(tmp_path, command):
    marker = tmp_path / "marker"
    package = tmp_path / "evil.qvc"
    hostile_package(package, marker)
    result = qvc(command, package, cwd=tmp_path)
    assert_one_line_failure(result)
    assert not marker.exists()


@pytest.mark.skipif(UNDER_SANITIZER,
                    reason="an address space limit leaves no room for the sanitizer's shadow memory")
@pytest.mark.parametrize("command", ["info", "unpack"])
@pytest.mark.parametrize(
    "stream",
    [
        b"\x80\x02}q\x00Nr\x00\x00\x00\x40.",  # a memo index the unpickler would size its table to
        b"\x80\x04\x8e" + (2**40).to_bytes(8, "little") + b"abc.",  # a terabyte byte string
    ],
)
def test_packages_declaring_huge_sizes_are_refused_without_allocating(tmp_path, command, stream):
    import resource

    package = tmp_path / "bomb.qvc"
    package.write_bytes(stream)
    limit = 1 << 30  # far below what obeying the stream would take
    result = subprocess.run(
        [*QVC, command, str(package)], capture_output=True, text=True, cwd=tmp_path, timeout=120,
        preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit)),
    )
    assert_one_line_failure(result)
    assert "MemoryError" not in result.stderr and "Memory" not in result.stderr


@pytest.mark.parametrize("name", ["../escape.txt", "/tmp/qvc-absolute-escape.txt", "sub/dir.txt"])
def test_unsafe_names_are_refused(tmp_path, name):
    package = tmp_path / "escape.qvc"
    escaping_package(package, name)
    result = qvc("unpack", package, "-o", tmp_path / "out", cwd=tmp_path)
    assert_one_line_failure(result)
    assert not (tmp_path / "escape.txt").exists()
    assert not os.path.exists("/tmp/qvc-absolute-escape.txt")
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize(
    "args",
    [
        ("pack", "{tmp}/out.qvc", "{tmp}/missing.txt"),
        ("pack", "{tmp}/out.qvc", "{tmp}/latin1.txt"),
        ("pack", "{tmp}/no/such/dir/out.qvc", "{tmp}/ok.txt"),
        ("unpack", "{tmp}/missing.qvc"),
        ("info", "{tmp}/missing.qvc"),
        ("info", "{tmp}/ok.txt"),
        ("unpack", "{tmp}/ok.txt"),
    ],
)
def test_expected_failures_are_one_line_and_status_1(tmp_path, args):
    (tmp_path / "latin1.txt").write_bytes("caf\u00e9\n".encode("latin-1"))
    (tmp_path / "ok.txt").write_text("fine\n", encoding="utf-8")
    result = qvc(*(a.format(tmp=tmp_path) for a in args), cwd=tmp_path)
    assert_one_line_failure(result)


@pytest.mark.parametrize("args", [(), ("pack",), ("pack", "out.qvc"), ("bogus",), ("pack", "o", "p", "--level", "x")])
def test_usage_errors_exit_2(tmp_path, args):
    result = qvc(*args, cwd=tmp_path)
    assert result.returncode == 2
    assert "Traceback" not in result.stderr and "usage:" in result.stderr


@pytest.mark.parametrize("args", [("--help",), ("pack", "--help"), ("unpack", "--help"), ("info", "--help")])
def test_help_on_every_command(args):
    result = qvc(*args)
    assert result.returncode == 0 and result.stdout.startswith("usage: qvc")


def test_version():
    from importlib import metadata

    result = qvc("--version")
    assert result.returncode == 0
    assert result.stdout.strip() == f"qvc {metadata.version('qvc_compressor')}"


def test_console_script_is_installed():
    script = shutil.which("qvc", path=os.path.dirname(sys.executable))
    assert script is not None
    assert subprocess.run([script, "--help"], capture_output=True).returncode == 0


def test_type_stubs_match_the_module():
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "qvc_compressor"], capture_output=True, text=True, timeout=600
    )
    assert result.returncode == 0, result.stdout + result.stderr
