"""`qvc info` / `qvc list`: every entry, the totals and the vocabulary, without unpickling it."""

import json
import os
import pickle

import pytest

from cli_support import peak_memory, qvc
from conftest import UNDER_SANITIZER
from qvc_compressor import QVCompressor
from test_cli_unpack import library_package, with_manifest


@pytest.fixture
def packed(tmp_path):
    root = tmp_path / "src"
    (root / "sub").mkdir(parents=True)
    (root / "a.txt").write_bytes(b"alpha beta\r\n")
    (root / "sub" / "b.md").write_bytes(b"beta gamma delta\n")
    (root / "a.txt").chmod(0o640)
    os.utime(root / "a.txt", ns=(0, 1_500_000_000_123_456_789))
    os.symlink("a.txt", root / "link")
    assert qvc("pack", "src.qvc", "src", cwd=tmp_path).returncode == 0
    return tmp_path / "src.qvc"


@pytest.mark.parametrize("command", ["info", "list"])
def test_json_describes_every_entry(packed, command):
    result = qvc(command, packed, "--json")
    assert result.returncode == 0, result.stderr
    document = json.loads(result.stdout)
    entries = {entry["path"]: entry for entry in document["entries"]}
    assert list(entries) == ["src", "src/a.txt", "src/link", "src/sub", "src/sub/b.md"]
    a = entries["src/a.txt"]
    assert (a["kind"], a["size"], a["mode"], a["tokens"]) == ("file", 12, "0640", 4)
    assert a["mtime_ns"] == 1_500_000_000_123_456_789 and a["mtime"] == "2017-07-14T02:40:00.123456789Z"
    assert entries["src/link"]["kind"] == "link" and entries["src/link"]["target"] == "a.txt"
    assert entries["src/sub"]["kind"] == "directory" and entries["src/sub/b.md"]["tokens"] == 6
    assert document["totals"] == {"files": 2, "directories": 2, "links": 1, "bytes": 29, "tokens": 10}
    assert document["manifest_version"] == 2
    with open(packed, "rb") as f:
        package = pickle.load(f)
    vocabulary = document["vocabulary"]
    assert vocabulary["entries"] == len(package["global_dict"])
    # The vocabulary's span is the pickled vocabulary: it unpickles on its own to the same dict.
    assert 0 < vocabulary["bytes"] < document["package_bytes"]
    assert vocabulary["share"] == pytest.approx(vocabulary["bytes"] / document["package_bytes"])
    assert document["stream"]["compressed_bytes"] == len(package["compressed"])
    assert document["stream"]["decompressed_bytes"] == 4 * 10


@pytest.mark.parametrize("tokens", [0, 1, 5, 2500])
def test_the_recorded_place_is_exactly_the_vocabulary(tmp_path, tokens):
    from qvc_cli.package_format import facts_of_written_package, walk

    (tmp_path / "in.txt").write_text(" ".join(f"w{i}" for i in range(tokens // 2)) + ("!" if tokens % 2 else ""))
    compressor = QVCompressor(str(tmp_path / "unused.bin"))
    compressor.encode_files([str(tmp_path / "in.txt")], str(tmp_path / "p.qvc"))
    counts, place = facts_of_written_package(str(tmp_path / "p.qvc"), len(compressor.global_dict))
    data = (tmp_path / "p.qvc").read_bytes()
    assert pickle.loads(b"\x80\x04" + data[place.start:place.end] + b".") == compressor.global_dict
    assert counts == [pickle.loads(data)["file_boundaries"][0]]
    walked = walk(str(tmp_path / "p.qvc")).vocabulary
    assert (walked.entries, walked.start, walked.end) == (len(compressor.global_dict), place.start, place.end)


def without_manifest_facts(packed):
    """The same package with a manifest of version 1, which records no token counts and no
    vocabulary place: info then walks the package for them."""
    data = packed.read_bytes()
    tail = len(data) - 13
    length = int.from_bytes(data[tail + 2:tail + 10], "little")
    content = pickle.loads(data[tail - length:tail][:-32])
    content["version"] = 1
    del content["token_counts"], content["vocabulary"]
    older = packed.with_name("older.qvc")
    older.write_bytes(with_manifest(data[:tail - length - 23] + b".", content))
    return older


def test_a_version_1_manifest_is_read_and_the_rest_walked(packed):
    recorded = json.loads(qvc("info", packed, "--json").stdout)
    walked = json.loads(qvc("info", without_manifest_facts(packed), "--json").stdout)
    assert walked["manifest_version"] == 1
    assert walked["entries"] == recorded["entries"] and walked["totals"] == recorded["totals"]
    assert walked["vocabulary"]["entries"] == recorded["vocabulary"]["entries"]
    assert walked["vocabulary"]["bytes"] == recorded["vocabulary"]["bytes"]


def test_a_package_without_manifest_lists_its_stored_names(tmp_path):
    (tmp_path / "in").mkdir()
    package = library_package(tmp_path / "in", {"a.txt": b"one two\n", "b.txt": b"", "c.txt": b"x y z"})
    document = json.loads(qvc("info", package, "--json").stdout)
    assert document["manifest_version"] is None
    assert [(e["path"], e["tokens"], e["size"], e["mode"]) for e in document["entries"]] == [
        ("a.txt", 4, None, None), ("b.txt", 0, None, None), ("c.txt", 5, None, None)]
    assert document["vocabulary"]["entries"] == 7 and document["totals"]["bytes"] is None
    text = qvc("info", package)
    assert "no manifest" in text.stdout and "a.txt" in text.stdout


def test_text_output_has_one_line_per_entry_and_the_totals(packed):
    lines = qvc("info", packed).stdout.splitlines()
    assert lines[1].startswith("-rw-r----- ") and lines[1].endswith("  src/a.txt")
    assert lines[1].split()[1:2] == ["12"] and lines[1].split()[-2] == "4"
    assert lines[2].endswith("src/link -> a.txt") and lines[3].endswith("src/sub/")
    assert lines[5] == "total: 2 files (2 directories, 1 link), 29 bytes, 10 tokens"
    assert lines[6].startswith("vocabulary: 6 tokens, ") and "% of the package's" in lines[6]


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer's own memory swamps the figure")
@pytest.mark.parametrize("manifest", [True, False])
def test_info_never_builds_the_vocabulary(tmp_path, manifest):
    """A package whose vocabulary, unpickled, would take hundreds of megabytes."""
    text = tmp_path / "words.txt"
    text.write_text(" ".join(f"token{i:07}" for i in range(1_500_000)))
    if manifest:
        assert qvc("pack", "big.qvc", text, "--level", 1, cwd=tmp_path).returncode == 0
    else:
        QVCompressor(str(tmp_path / "unused.bin")).encode_files([str(text)], str(tmp_path / "big.qvc"), 1)
    status, peak, stdout = peak_memory("info", "--json", tmp_path / "big.qvc")
    assert status == 0
    assert json.loads(stdout)["vocabulary"]["entries"] == 1_500_000 + 1  # and the space
    # The interpreter and its modules take about 25 MB; the vocabulary unpickled, over 200 MB.
    assert peak < 80 * 1024
