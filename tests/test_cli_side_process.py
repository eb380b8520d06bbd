"""The digests taken and checked beside the compressor: a second process or this one, alike."""

import hashlib
import os

import pytest

from qvc_cli.restored_files import ExpectedFiles
from qvc_cli.side_process import InProcess, SideProcess

TEXTS = {"a.txt": b"alpha\n", "crlf.txt": b"one\r\ntwo\r\n", "empty.txt": b"", "damaged.txt": b"zeta\n"}


def runner(kind, job, work):
    return SideProcess(job, str(work)) if kind == "process" else InProcess(job)


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
    expected = ExpectedFiles(["a.txt"], [1], [bytes(32)], {}, [0o600], [0])
    work = SideProcess(("check", str(tmp_path / "missing"), expected, False), str(tmp_path))
    work.start()
    with pytest.raises(FileNotFoundError):
        work.result()
