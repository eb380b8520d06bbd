"""`check`, `unpack` and `info` read the package the library reads, decode only what they need,
and agree with each other on odd but readable packages."""

import base64
import json
import os
import pickle

import pytest
import zstandard

from qvc_cli.main import main
from qvc_compressor import QVCompressor


def run(capsysbinary, *args) -> tuple[int, bytes, str]:
    status = main([str(arg) for arg in args])
    captured = capsysbinary.readouterr()
    return status, captured.out, captured.err.decode("utf-8", "replace")


def library_package(path, files: list[tuple[str, bytes]]):
    """A package as the library alone writes it, from files that may share a base name."""
    paths = []
    for number, (name, text) in enumerate(files):
        directory = path.parent / f"in{number}"
        directory.mkdir()
        (directory / name).write_bytes(text)
        paths.append(str(directory / name))
    QVCompressor(str(path.parent / "unused.bin")).encode_files(paths, str(path))
    return path


def qvc_package(tmp_path, name: str, text: bytes, mtime: int):
    source = tmp_path / name / "t"
    source.mkdir(parents=True)
    (source / "x.txt").write_bytes(text)
    os.utime(source / "x.txt", (mtime, mtime))
    package = tmp_path / f"{name}.qvc"
    assert main(["pack", "-q", str(package), str(source)]) == 0
    return package


def test_repeated_names_each_keep_their_own_text(tmp_path, capsysbinary):
    package = library_package(tmp_path / "p.qvc", [("same.txt", b"first\n"), ("same.txt", b"second\n")])
    status, out, _ = run(capsysbinary, "unpack", package, "-c", "same.txt")
    assert (status, out) == (0, b"first\nsecond\n")


@pytest.mark.parametrize("command", [["check"], ["unpack", "-c"], ["unpack", "-o", "out"]])
def test_names_without_boundaries_are_damage_everywhere(tmp_path, capsysbinary, monkeypatch, command):
    monkeypatch.chdir(tmp_path)
    package = library_package(tmp_path / "p.qvc", [("a.txt", b"alpha\n"), ("b.txt", b"beta\n")])
    content = pickle.loads(package.read_bytes())
    content["filenames"].append("c.txt")
    package.write_bytes(pickle.dumps(content))
    status, out, err = run(capsysbinary, *command[:1], package, *command[1:])
    assert status == 1 and out == b""
    assert f"{package}: damaged qvc package (it has 3 file names but 2 file boundaries)" in err
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("first_has_manifest", [True, False])
def test_joined_packages_are_read_as_the_first_with_trailing_data_named(tmp_path, capsysbinary, first_has_manifest):
    if first_has_manifest:
        first = qvc_package(tmp_path, "a", b"text of a\n", 1_000_000_000)
    else:
        first = library_package(tmp_path / "a.qvc", [("x.txt", b"text of a\n")])
    second = qvc_package(tmp_path, "b", b"text of b, longer\n", 1_500_000_000)
    joined = tmp_path / "joined.qvc"
    joined.write_bytes(first.read_bytes() + second.read_bytes())
    trailing = f"{second.stat().st_size:,} bytes after the package's end"

    status, out, err = run(capsysbinary, "check", joined)
    assert status == 0 and trailing in err and f"from byte {first.stat().st_size:,}" in err
    assert (b"intact" if first_has_manifest else b"no manifest") in out

    status, out, err = run(capsysbinary, "unpack", joined, "-o", tmp_path / "out")
    assert status == 0 and trailing in err
    restored = tmp_path / "out" / ("t/x.txt" if first_has_manifest else "x.txt")
    assert restored.read_bytes() == b"text of a\n"
    if first_has_manifest:
        assert restored.stat().st_mtime == 1_000_000_000

    status, out, _ = run(capsysbinary, "info", joined, "--json")
    listed = json.loads(out)
    assert status == 0 and listed["trailing_bytes"] == second.stat().st_size
    assert [entry["path"] for entry in listed["entries"] if entry["kind"] == "file"] == \
        ["t/x.txt" if first_has_manifest else "x.txt"]


def stream_cut_after_first_file(tmp_path):
    """A package whose compressed stream is cut short well after its first, small file: the
    stream's frame states the whole size, so only a reader that goes on finds the cut."""
    words = os.urandom(1_000_000).hex()
    large = " ".join(words[i:i + 8] for i in range(0, len(words), 8)).encode()
    package = library_package(tmp_path / "p.qvc", [("small.txt", b"small text\n"), ("large.txt", large)])
    content = pickle.loads(package.read_bytes())
    content["compressed"] = content["compressed"][:len(content["compressed"]) // 2]
    package.write_bytes(pickle.dumps(content))
    return package


def test_one_file_is_decoded_only_as_far_as_it_goes(tmp_path, capsysbinary):
    package = stream_cut_after_first_file(tmp_path)
    assert run(capsysbinary, "unpack", package, "-c", "small.txt")[:2] == (0, b"small text\n")
    status, _, err = run(capsysbinary, "check", package)
    assert status == 1 and "damaged qvc package (its compressed stream" in err


def test_check_writes_nothing_not_even_to_the_temporary_directory(tmp_path, capsysbinary, monkeypatch):
    package = qvc_package(tmp_path, "a", b"some words, some more words\r\n" * 1000, 1_000_000_000)
    monkeypatch.setenv("TMPDIR", str(tmp_path / "missing"))
    monkeypatch.setattr("tempfile.tempdir", None)
    before = sorted(os.listdir(tmp_path))
    status, out, _ = run(capsysbinary, "check", package)
    assert status == 0 and b"intact" in out
    assert sorted(os.listdir(tmp_path)) == before


def test_a_name_that_is_not_utf8_comes_back_from_json(tmp_path, capsysbinary):
    source = tmp_path / "src"
    source.mkdir()
    name = b"caf\xe9.txt"
    with open(os.path.join(os.fsencode(source), name), "wb") as f:
        f.write(b"latin-1 name\n")
    package = tmp_path / "p.qvc"
    assert main(["pack", "-q", str(package), str(source)]) == 0
    status, out, _ = run(capsysbinary, "info", package, "--json")
    entry = next(e for e in json.loads(out)["entries"] if e["kind"] == "file")
    assert "\ufffd" in entry["path"]  # valid Unicode, readable by any JSON tool
    stored = base64.b64decode(entry["path_bytes"])
    assert stored == b"src/" + name
    assert run(capsysbinary, "unpack", package, "-c", os.fsdecode(stored))[:2] == (0, b"latin-1 name\n")


@pytest.mark.parametrize("arguments, says", [
    (["unpack"], "required: PACKAGE\n"),
    (["unpack", "p.qvc", "-c", "-o", "out"], "not allowed with argument"),
    (["info", "p.qvc", "-q"], "unrecognized arguments: -q"),
    (["info", "p.qvc", "-v"], "unrecognized arguments: -v"),
])
def test_usage_errors_of_the_reading_commands(capsys, arguments, says):
    with pytest.raises(SystemExit) as ended:
        main(arguments)
    assert ended.value.code == 2 and says in capsys.readouterr().err


def test_one_file_exists_already_is_said_in_the_singular(tmp_path, capsysbinary):
    package = qvc_package(tmp_path, "a", b"text\n", 1_000_000_000)
    (tmp_path / "out" / "t").mkdir(parents=True)
    (tmp_path / "out" / "t" / "x.txt").write_text("mine\n")
    status, _, err = run(capsysbinary, "unpack", package, "-o", tmp_path / "out")
    assert status == 1 and "1 file exists already (t/x.txt); use --force to replace it" in err


def test_a_stream_without_its_size_is_damage(tmp_path, capsysbinary):
    package = library_package(tmp_path / "p.qvc", [("a.txt", b"alpha\n")])
    content = pickle.loads(package.read_bytes())
    ids = zstandard.ZstdDecompressor().decompress(content["compressed"])
    content["compressed"] = zstandard.ZstdCompressor(write_content_size=False).compress(ids)
    package.write_bytes(pickle.dumps(content))
    status, _, err = run(capsysbinary, "check", package)
    assert status == 1 and "its compressed stream does not state its size" in err


def flipped(package, position: int, mask: int):
    data = bytearray(package.read_bytes())
    data[position] ^= mask
    damaged = package.with_name("flipped.qvc")
    damaged.write_bytes(bytes(data))
    return damaged


@pytest.mark.parametrize("position, mask", [
    (0, 0xFF),  # the pickle's PROTO opcode
    (8, 0x01), (10, 0xFF),  # the length of the pickle's first frame: memory the unpickler would take
    (19, 0x01), (20, 0xFF),  # the first key's name
])
def test_one_flipped_byte_near_the_start_is_damage(tmp_path, capsysbinary, position, mask):
    package = qvc_package(tmp_path, "a", b"some words, some more words\n", 1_000_000_000)
    assert package.read_bytes()[14:26] == b"\x8c\ncompressed"  # where the positions point
    damaged = flipped(package, position, mask)
    status, _, err = run(capsysbinary, "check", damaged)
    assert status == 1 and f"{damaged}: damaged qvc package (" in err and "Error" not in err, err


def test_an_undecodable_string_is_damage_in_plain_words(tmp_path, capsysbinary):
    package = library_package(tmp_path / "p.qvc", [("a.txt", b"alpha\n")])
    content = pickle.loads(package.read_bytes())
    # A protocol-2 string opcode, which the unpickler decodes as ASCII.
    data = pickle.dumps(content, protocol=2).replace(b"X\x05\x00\x00\x00a.txt", b"U\x05a\xe9txt")
    assert b"U\x05a\xe9txt" in data
    package.write_bytes(data)
    status, _, err = run(capsysbinary, "check", package)
    assert status == 1 and "damaged qvc package (it holds a string that is not valid text)" in err
    assert "codec" not in err


@pytest.mark.parametrize("vocabulary, text", [
    ({"a": 1, " ": 2, "b": 3}, "a b<UNK>"),  # an id beyond the vocabulary
    ({"a": 1, " ": 2, "b": 3, "c": 3}, "a c<UNK>"),  # two tokens of one id: the later wins
    ({"a": 1, " ": 2, "b": 3, "z": -5}, "a b<UNK>"),  # an id no record can hold
    ({"a": 1, " ": 2, "b": 3, "far": 10**9}, "a b<UNK>"),  # ids too sparse for a table
    ({}, "<UNK><UNK><UNK><UNK>"),
])
def test_ids_become_text_as_the_library_decodes_them(tmp_path, capsysbinary, vocabulary, text):
    ids = b"".join(n.to_bytes(4, "big") for n in (1, 2, 3, 99))
    package = tmp_path / "p.qvc"
    package.write_bytes(pickle.dumps({"compressed": zstandard.ZstdCompressor().compress(ids),
                                      "file_boundaries": [4], "filenames": ["a.txt"],
                                      "global_dict": vocabulary}))
    QVCompressor(str(tmp_path / "unused.bin")).decode_package(str(package), str(tmp_path / "library"))
    assert (tmp_path / "library" / "a.txt").read_text() == text
    assert run(capsysbinary, "unpack", package, "-c", "a.txt")[:2] == (0, text.encode())


@pytest.mark.parametrize("read_in_part", [True, False])
def test_one_file_comes_out_the_same_read_in_part_or_whole(tmp_path, capsysbinary, monkeypatch, read_in_part):
    from qvc_cli import package_format

    source = tmp_path / "src"
    source.mkdir()
    # Names that are also tokens of the texts, which a pickler may store once for both.
    for number in range(40):
        (source / f"w{number}").write_text(f"w{number} " * number + "README\r\nlast line w1 é\n")
    (source / "README").write_text("README " + "long" * 200 + " w3\n")
    package = tmp_path / "p.qvc"
    assert main(["pack", "-q", str(package), str(source)]) == 0
    calls = []
    load_part = package_format.load_part

    def recorded(*args):
        calls.append(args)
        if not read_in_part:
            raise package_format.Unsupported("read whole")
        return load_part(*args)

    monkeypatch.setattr(package_format, "load_part", recorded)
    monkeypatch.setattr("qvc_cli.restoring.load_part", recorded)
    if read_in_part:  # and never the whole package
        monkeypatch.setattr("qvc_cli.restoring.load", None)
    for name in ("src/w7", "src/README", "src/w39"):
        status, out, _ = run(capsysbinary, "unpack", package, "-c", name)
        assert (status, out) == (0, (tmp_path / name).read_bytes())
    assert len(calls) == 3


@pytest.mark.parametrize("name", ["../outside.txt", "sub/a.txt", "", ".."])
def test_a_stored_name_that_is_not_a_file_name_is_damage(tmp_path, capsysbinary, monkeypatch, name):
    monkeypatch.chdir(tmp_path)
    package = library_package(tmp_path / "p.qvc", [("a.txt", b"alpha\n")])
    content = pickle.loads(package.read_bytes())
    content["filenames"] = [name]
    package.write_bytes(pickle.dumps(content))
    status, _, err = run(capsysbinary, "unpack", package, "-o", tmp_path / "out" / "in")
    assert status == 1 and "is not the name of a file" in err
    assert not (tmp_path / "out").exists() and not (tmp_path / "outside.txt").exists()
