"""`qvc unpack` and `qvc check`: verified restores that never overwrite, follow or half-write."""

import os
import pickle
import signal

import pytest
import zstandard

from cli_support import (assert_one_line_failure, interrupt_when, leftovers, qvc, same_files, snapshot,
                         start_qvc, write_big_tree)
from qvc_cli.manifest import FORMAT_VERSION
from qvc_compressor import QVCompressor


@pytest.fixture
def packed(tmp_path):
    """`mixed/` with a CR LF file, packed beside it as `mixed.qvc`."""
    source = tmp_path / "mixed"
    (source / "sub").mkdir(parents=True)
    (source / "dos.txt").write_bytes(b"line one\r\nline two\r\n")
    (source / "sub" / "notes.md").write_bytes(b"# Notes\n\nSome text, some more text.\n")
    (source / "sub" / "AUTHORS").write_bytes(b"Somebody\n")
    (source / "AUTHORS").write_bytes(b"Somebody else\n")
    result = qvc("pack", "mixed.qvc", "mixed", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    return tmp_path / "mixed.qvc"


def test_unpack_never_writes_into_the_source_directory(packed):
    work = packed.parent
    before = snapshot(work / "mixed")
    line = assert_one_line_failure(qvc("unpack", "mixed.qvc", cwd=work))
    assert "mixed: exists and is not empty" in line and "-o" in line
    assert snapshot(work / "mixed") == before


def test_unpack_into_an_existing_empty_directory(packed):
    (packed.parent / "out").mkdir()
    assert qvc("unpack", packed, "-o", packed.parent / "out").returncode == 0
    assert snapshot(packed.parent / "out" / "mixed") == snapshot(packed.parent / "mixed")


def test_existing_files_are_kept_unless_forced(packed, tmp_path):
    out = tmp_path / "out"
    (out / "mixed" / "sub").mkdir(parents=True)
    for name in ("dos.txt", "AUTHORS", "sub/AUTHORS", "sub/notes.md"):
        (out / "mixed" / name).write_text("mine\n")
    (out / "mixed" / "unrelated.txt").write_text("mine too\n")
    before = snapshot(out)
    line = assert_one_line_failure(qvc("unpack", packed, "-o", out))
    assert "4 files exist already" in line and "mixed/dos.txt" in line and "1 more" in line
    assert snapshot(out) == before and leftovers(out) == []

    assert qvc("unpack", packed, "-o", out, "--force").returncode == 0
    assert (out / "mixed" / "dos.txt").read_bytes() == b"line one\r\nline two\r\n"
    assert (out / "mixed" / "unrelated.txt").read_text() == "mine too\n"
    assert leftovers(out) == []


@pytest.fixture
def victim(tmp_path):
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "precious.txt").write_text("do not touch\n")
    return outside


@pytest.mark.parametrize("force", [False, True])
def test_a_symlink_at_a_file_path_is_never_followed(packed, tmp_path, victim, force):
    out = tmp_path / "out"
    (out / "mixed").mkdir(parents=True)
    os.symlink(victim / "precious.txt", out / "mixed" / "dos.txt")
    result = qvc("unpack", packed, "-o", out, *(["--force"] if force else []))
    assert (victim / "precious.txt").read_text() == "do not touch\n"
    link = out / "mixed" / "dos.txt"
    if force:
        assert result.returncode == 0
        assert not link.is_symlink() and link.read_bytes() == b"line one\r\nline two\r\n"
    else:
        assert "mixed/dos.txt" in assert_one_line_failure(result)
        assert link.is_symlink() and os.readlink(link) == str(victim / "precious.txt")


def test_a_symlink_at_a_directory_path_is_never_followed(packed, tmp_path, victim):
    out = tmp_path / "out"
    (out / "mixed").mkdir(parents=True)
    os.symlink(victim, out / "mixed" / "sub")
    assert "mixed/sub" in assert_one_line_failure(qvc("unpack", packed, "-o", out))
    assert qvc("unpack", packed, "-o", out, "--force").returncode == 0
    assert sorted(os.listdir(victim)) == ["precious.txt"]
    assert (out / "mixed" / "sub").is_dir() and not (out / "mixed" / "sub").is_symlink()
    assert (out / "mixed" / "sub" / "AUTHORS").read_bytes() == b"Somebody\n"


def flipped(data: bytes, position: int, bit: int) -> bytes:
    return data[:position] + bytes([data[position] ^ (1 << bit)]) + data[position + 1:]


def test_bit_flips_never_pass_for_intact(packed, tmp_path):
    """Every flip is either reported as damage or leaves what is restored byte-identical."""
    data = packed.read_bytes()
    expected = snapshot(tmp_path / "mixed")
    positions = sorted({round(i * (len(data) - 1) / 29) for i in range(30)}
                       | {data.index(b"AUTHORS~1"), data.index(b"(\xb5/\xfd") + 8, len(data) - 6})
    detected = 0
    for number, position in enumerate(positions):
        damaged = tmp_path / f"flip{number}.qvc"
        damaged.write_bytes(flipped(data, position, number % 8))
        checked = qvc("check", damaged)
        if checked.returncode == 0:
            out = tmp_path / f"out{number}"
            assert qvc("unpack", damaged, "-o", out).returncode == 0, (position, checked.stdout)
            assert snapshot(out / "mixed") == expected, position
        else:
            detected += 1
            assert_one_line_failure(checked)
            assert str(damaged) in checked.stderr
    assert detected >= len(positions) // 2


@pytest.mark.parametrize("where", ["stream", "manifest digest", "file names", "manifest length"])
def test_unpack_restores_nothing_from_a_damaged_package(packed, tmp_path, where):
    data = packed.read_bytes()
    position = {
        "stream": data.index(b"(\xb5/\xfd") + 12,
        "manifest digest": data.index(b"qvc_manifest") + 120,
        "file names": data.index(b"AUTHORS~1") + 8,
        "manifest length": len(data) - 6,
    }[where]
    packed.write_bytes(flipped(data, position, 0))
    out = tmp_path / "out"
    line = assert_one_line_failure(qvc("unpack", packed, "-o", out))
    assert "damaged" in line
    assert not out.exists()
    line = assert_one_line_failure(qvc("check", packed))
    assert "damaged" in line


def test_a_vocabulary_missing_an_entry_is_damage(packed, tmp_path):
    package = pickle.loads(packed.read_bytes())
    data = packed.read_bytes()
    token = next(t for t in package["global_dict"] if t.startswith("Some"))
    # Rename the token in place: same length, so the rest of the stream stays valid.
    encoded = token.encode()
    spoiled = data.replace(b"\x8c" + bytes([len(encoded)]) + encoded,
                           b"\x8c" + bytes([len(encoded)]) + b"X" * len(encoded), 1)
    assert spoiled != data
    packed.write_bytes(spoiled)
    line = assert_one_line_failure(qvc("check", packed))
    assert "mixed/" in line and "damaged" in line


def library_package(directory, files):
    """A package as the library alone writes it: no manifest."""
    paths = []
    for name, text in files.items():
        (directory / name).write_bytes(text)
        paths.append(str(directory / name))
    package = directory / "plain.qvc"
    QVCompressor(str(directory / "unused.bin")).encode_files(paths, str(package))
    return package


def test_a_package_without_manifest_unpacks_flat_and_says_so(tmp_path):
    (tmp_path / "in").mkdir()
    package = library_package(tmp_path / "in", {"a.txt": b"alpha\n", "b.txt": b"beta\r\n"})
    result = qvc("unpack", package, "-o", tmp_path / "out")
    assert result.returncode == 0 and "no digests" in result.stdout
    assert sorted(os.listdir(tmp_path / "out")) == ["a.txt", "b.txt"]
    assert (tmp_path / "out" / "b.txt").read_bytes() == b"beta\n"
    checked = qvc("check", package)
    assert checked.returncode == 0 and "no digests" in checked.stdout

    (tmp_path / "out" / "a.txt").write_text("changed\n")
    line = assert_one_line_failure(qvc("unpack", package, "-o", tmp_path / "out"))
    assert "2 files exist already" in line
    assert (tmp_path / "out" / "a.txt").read_text() == "changed\n"


def with_manifest(plain: bytes, content) -> bytes:
    """`plain`, a package without a manifest, carrying `content` as its manifest."""
    import hashlib

    pickled = pickle.dumps(content, protocol=4)
    payload = pickled + hashlib.sha256(pickled).digest()
    length = len(payload).to_bytes(8, "little")
    return (plain[:-1] + b"\x8c\x0cqvc_manifest\x8e" + length + payload
            + b"\x8a\x08" + length + b"\x86s.")


def manifest_of(rows, **overrides):
    """A manifest's content: rows ("f", path, data), ("d", path) and ("l", path, target), in
    columns, with any column replaced by `overrides`."""
    import hashlib
    import struct

    files = [row for row in rows if row[0] == "f"]
    content = {
        "version": 1,
        "kinds": "".join(row[0] for row in rows).encode(),
        "paths": b"\0".join(row[1] for row in rows),
        "modes": struct.pack(f"<{len(rows)}H", *[0o644] * len(rows)),
        "mtimes": struct.pack(f"<{len(rows)}q", *[0] * len(rows)),
        "sizes": struct.pack(f"<{len(files)}Q", *[len(row[2]) for row in files]),
        "digests": b"".join(hashlib.sha256(row[2]).digest() for row in files),
        "line_ends": {},
        "package_names": b"\0".join(b"" for _ in files),
        "link_targets": b"\0".join(row[2] for row in rows if row[0] == "l"),
    }
    content.update(overrides)
    return content


PWNED = b"pwned\n"


@pytest.mark.parametrize(
    "content, complaint",
    [
        (manifest_of([("f", b"/tmp/qvc-absolute-escape.txt", PWNED)]), "unsafe path"),
        (manifest_of([("f", b"../escape.txt", PWNED)]), "unsafe path"),
        (manifest_of([("f", b"a/./escape.txt", PWNED)]), "unsafe path"),
        (manifest_of([("f", b"a//escape.txt", PWNED)]), "unsafe path"),
        (manifest_of([("l", b"evil", b".."), ("f", b"evil/escape.txt", PWNED)]), "below a file or a link"),
        (manifest_of([("f", b"evil/escape.txt", PWNED), ("l", b"evil", b"..")]), "below a file or a link"),
        (manifest_of([("f", b"twice.txt", PWNED), ("f", b"twice.txt", PWNED)]), "stored twice"),
        (manifest_of([("f", b"escape.txt", PWNED)], digests=b"short"), "digests do not fit"),
        (manifest_of([("f", b"escape.txt", PWNED)], package_names=b"a/b"), "one path component"),
        (manifest_of([("f", b"escape.txt", PWNED)], package_names=b".."), "one path component"),
        (manifest_of([("f", b"a/escape.txt", PWNED), ("f", b"b/x", PWNED)], package_names=b"\0escape.txt"),
         "share one name"),
        (manifest_of([("f", b"escape.txt", PWNED)], kinds=b"x"), "kinds are malformed"),
        (manifest_of([("f", b"escape.txt", PWNED)], modes=b"\xff\xff"), "mode is out of range"),
        (manifest_of([("f", b"escape.txt", PWNED)], line_ends={0: (7,)}), "line-end records"),
        ({"version": 1, "kinds": b"f" * 10**6}, "paths are not a byte string"),
    ],
)
def test_hostile_manifests_are_refused_before_anything_is_written(tmp_path, content, complaint):
    (tmp_path / "in").mkdir()
    plain = library_package(tmp_path / "in", {"escape.txt": PWNED})
    package = tmp_path / "hostile.qvc"
    package.write_bytes(with_manifest(plain.read_bytes(), content))
    for command in ("unpack", "check"):
        line = assert_one_line_failure(qvc(command, package, "-o", tmp_path / "out")
                                       if command == "unpack" else qvc(command, package))
        assert complaint in line
    assert not (tmp_path / "out").exists() and not (tmp_path / "escape.txt").exists()
    assert not os.path.exists("/tmp/qvc-absolute-escape.txt")


def test_a_consistent_handmade_manifest_is_accepted(tmp_path):
    """The hostile cases above differ from this one in the one thing they name."""
    (tmp_path / "in").mkdir()
    plain = library_package(tmp_path / "in", {"escape.txt": PWNED})
    plain.write_bytes(with_manifest(plain.read_bytes(), manifest_of([("d", b"d"), ("f", b"d/escape.txt", PWNED)])))
    assert qvc("unpack", plain, "-o", tmp_path / "out").returncode == 0
    assert (tmp_path / "out" / "d" / "escape.txt").read_bytes() == PWNED


def test_a_newer_manifest_version_is_refused_by_name(tmp_path):
    (tmp_path / "in").mkdir()
    plain = library_package(tmp_path / "in", {"a.txt": b"alpha\n"})
    newer = FORMAT_VERSION + 1
    plain.write_bytes(with_manifest(plain.read_bytes(), {"version": newer}))
    assert f"version {newer}" in assert_one_line_failure(qvc("check", plain))


@pytest.fixture(scope="module")
def big_package(tmp_path_factory):
    """A package that takes the decoder a while: about 48 MB of real source text."""
    root = tmp_path_factory.mktemp("big")
    write_big_tree(root / "big")
    result = qvc("pack", root / "big.qvc", root / "big", cwd=root)
    assert result.returncode == 0, result.stderr
    return root / "big.qvc"


@pytest.mark.parametrize("signum, status", [(signal.SIGINT, 130), (signal.SIGTERM, 128 + signal.SIGTERM)])
@pytest.mark.parametrize("delay", [0.0, 0.1])
def test_ctrl_c_while_unpacking_leaves_nothing(big_package, tmp_path, delay, signum, status):
    out = tmp_path / "out"
    process = start_qvc("unpack", big_package, "-o", out)
    stderr = interrupt_when(process, lambda: out.exists() and leftovers(out), delay, signum)
    if process.returncode == 0:
        pytest.skip("the restore finished before the signal came")
    # A signal that comes as the finished run shuts down meets its default action (see the
    # same test for packing); everything must then be restored.
    if process.returncode == -signum and not stderr:
        assert not leftovers(out) and same_files(out / "big", big_package.parent / "big")
        pytest.skip("the signal came as the finished restore was exiting")
    assert process.returncode == status, stderr
    assert "Traceback" not in stderr
    assert not out.exists()


@pytest.mark.parametrize("target_exists", [False, True])
def test_a_full_disk_while_unpacking_leaves_nothing(packed, tmp_path, target_exists):
    big = tmp_path / "big"
    big.mkdir()
    (big / "large.txt").write_text("word " * 100_000)
    assert qvc("pack", "big.qvc", "big", cwd=tmp_path).returncode == 0
    out = tmp_path / "out"
    if target_exists:
        out.mkdir()
    line = assert_one_line_failure(qvc("unpack", "big.qvc", "-o", out, cwd=tmp_path,
                                       limit_file_size=200_000))
    assert "big/large.txt" in line and "too large" in line
    assert (os.listdir(out) == []) if target_exists else not out.exists()


def test_the_stream_holding_an_unknown_frame_is_damage(tmp_path):
    (tmp_path / "in").mkdir()
    plain = library_package(tmp_path / "in", {"a.txt": b"alpha\n"})
    package = pickle.loads(plain.read_bytes())
    package["compressed"] = zstandard.ZstdCompressor().compress(b"\xff" * 8)
    plain.write_bytes(pickle.dumps(package))
    line = assert_one_line_failure(qvc("check", plain))
    assert str(plain) in line and "damaged" in line


def test_check_writes_nothing_beside_the_package(packed):
    before = sorted(os.listdir(packed.parent))
    result = qvc("check", packed)
    assert result.returncode == 0 and "intact" in result.stdout
    assert sorted(os.listdir(packed.parent)) == before


@pytest.mark.parametrize("open_files", [(200, 4096), (32, 32)])
def test_trees_with_more_directories_than_open_files(tmp_path, open_files):
    for number in range(300):
        (tmp_path / "many" / f"d{number:03}" / "below").mkdir(parents=True)
    (tmp_path / "many" / "d299" / "last.txt").write_text("last\n")
    (tmp_path / "many" / "d000" / "below" / "first.txt").write_text("first\n")
    assert qvc("pack", "many.qvc", "many", cwd=tmp_path).returncode == 0
    result = qvc("unpack", "many.qvc", "-o", "out", cwd=tmp_path, open_files=open_files)
    assert result.returncode == 0, result.stderr
    assert snapshot(tmp_path / "out" / "many") == snapshot(tmp_path / "many")
