"""`qvc unpack PACKAGE NAME|GLOB...`: only what the patterns match, or nothing at all."""

import os

import pytest

from cli_support import assert_one_line_failure, leftovers, qvc, snapshot
from test_cli_unpack import library_package


@pytest.fixture
def packed(tmp_path):
    root = tmp_path / "proj"
    for directory in ("docs/api", "src"):
        (root / directory).mkdir(parents=True)
    files = {"README": b"read me\n", "docs/guide.md": b"guide\r\n", "docs/api/index.md": b"index\n",
             "src/main.py": b"print(1)\n", "src/util.py": b"x = 2\n"}
    for path, data in files.items():
        (root / path).write_bytes(data)
    (root / "docs").chmod(0o750)
    os.symlink("README", root / "link")
    assert qvc("pack", "proj.qvc", "proj", cwd=tmp_path).returncode == 0
    return tmp_path / "proj.qvc"


def restored_files(out):
    return sorted(str(p.relative_to(out)) for p in out.rglob("*") if p.is_file() or p.is_symlink())


@pytest.mark.parametrize("patterns, expected", [
    (["proj/README"], ["proj/README"]),
    (["proj/src/*.py"], ["proj/src/main.py", "proj/src/util.py"]),
    (["proj/docs"], ["proj/docs/api/index.md", "proj/docs/guide.md"]),
    (["./proj/docs/"], ["proj/docs/api/index.md", "proj/docs/guide.md"]),
    (["*.md"], ["proj/docs/api/index.md", "proj/docs/guide.md"]),
    (["proj/link", "proj/src/main.py"], ["proj/link", "proj/src/main.py"]),
])
def test_only_what_the_patterns_match_is_restored(packed, tmp_path, patterns, expected):
    out = tmp_path / "out"
    result = qvc("unpack", packed, *patterns, "-o", out)
    assert result.returncode == 0, result.stderr
    assert restored_files(out) == expected
    whole = snapshot(tmp_path / "proj")
    for path, entry in snapshot(out / "proj").items():
        if path in whole and not (out / "proj" / path).is_dir():
            assert entry == whole[path]
    assert leftovers(out) == []


def test_a_directory_above_a_chosen_file_keeps_its_mode(packed, tmp_path):
    out = tmp_path / "out"
    assert qvc("unpack", packed, "-o", out, "proj/docs/guide.md").returncode == 0
    assert (out / "proj" / "docs").stat().st_mode & 0o777 == 0o750
    assert (out / "proj" / "docs" / "guide.md").read_bytes() == b"guide\r\n"


@pytest.mark.parametrize("patterns, named", [(["proj/nothing"], "proj/nothing"),
                                             (["proj/README", "*.rst"], "*.rst")])
def test_a_pattern_that_matches_nothing_restores_nothing(packed, tmp_path, patterns, named):
    out = tmp_path / "out"
    line = assert_one_line_failure(qvc("unpack", packed, *patterns, "-o", out))
    assert f"not in the package: {named}" in line and str(packed) in line
    assert not out.exists()


def test_a_package_without_manifest_is_matched_by_its_names(tmp_path):
    (tmp_path / "in").mkdir()
    package = library_package(tmp_path / "in", {"a.txt": b"alpha\n", "b.md": b"beta\n", "c.txt": b"gamma\n"})
    out = tmp_path / "out"
    assert qvc("unpack", package, "*.txt", "-o", out).returncode == 0
    assert sorted(os.listdir(out)) == ["a.txt", "c.txt"]
    assert "b.txt" in assert_one_line_failure(qvc("unpack", package, "b.txt", "-o", tmp_path / "other"))
