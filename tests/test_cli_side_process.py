"""The digests taken and checked beside the compressor: a second process or this one, alike."""

import hashlib
import os

import pytest

from qvc_cli.digests import fingerprint_file, fingerprints_from_columns
from qvc_cli.restored_files import ExpectedFiles
from qvc_cli.side_process import InProcess, SideProcess

TEXTS = {"a.txt": b"alpha\n", "crlf.txt": b"one\r\ntwo\r\n", "empty.txt": b"", "damaged.txt": b"zeta\n"}


def runner(kind, job, work):
    return SideProcess(job, str(work)) if kind == "process" else InProcess(job)


@pytest.mark.parametrize("kind", ["process", "here"])
def test_fingerprints(tmp_path, kind):
    paths = []
    for name, data in TEXTS.items():
        (tmp_path / name).write_bytes(data)
        paths.append(str(tmp_path / name))
    work = runner(kind, ("fingerprint", paths), tmp_path)
    work.start()
    found = fingerprints_from_columns(work.result())
    assert found == [fingerprint_file(path) for path in paths]
    assert [f.digest for f in found] == [hashlib.sha256(data).digest() for data in TEXTS.values()]
    assert found[1].line_ends is not None and found[0].line_ends is None


@pytest.mark.parametrize("kind", ["process", "here"])
def test_checks_restore_line_ends_and_times_and_find_damage(tmp_path, kind):
    restored = tmp_path / "files"
    restored.mkdir()
    for name, data in TEXTS.items():
        # As the decoder writes them: universal newlines; one file differs from what was packed.
        (restored / name).write_bytes(b"eta\n" if name == "damaged.txt" else data.replace(b"\r\n", b"\n"))
    expected = ExpectedFiles(
        list(TEXTS), [len(data) for data in TEXTS.values()],
        [hashlib.sha256(data).digest() for data in TEXTS.values()], {1: (2 << 2 | 1,)},
        [0o600] * len(TEXTS), [1_000_000_000_123_456_789] * len(TEXTS))
    work = runner(kind, ("check", str(restored), expected, True), tmp_path)
    work.start()
    work.parent_finished()
    assert work.result() == [3]
    assert (restored / "crlf.txt").read_bytes() == b"one\r\ntwo\r\n"
    info = os.stat(restored / "a.txt")
    assert info.st_mtime_ns == 1_000_000_000_123_456_789 and info.st_mode & 0o777 == 0o600


def test_a_failing_job_reports_its_error(tmp_path):
    work = SideProcess(("fingerprint", [str(tmp_path / "missing.txt")]), str(tmp_path))
    work.start()
    with pytest.raises(FileNotFoundError):
        work.result()
