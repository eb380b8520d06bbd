"""A daemon thread still inside a call when the program ends: the interpreter stops that thread
where it next tries to take the interpreter back (after file I/O or compression let go of it), by
unwinding its stack. The process must still end normally, without a crash or an abort."""

import os
import subprocess
import sys
import textwrap

import pytest

CHILD = textwrap.dedent(
    r"""
    import os, sys, threading, time
    from qvc_compressor import QVCompressor

    work, operation, delay = sys.argv[1], sys.argv[2], float(sys.argv[3])
    paths = [os.path.join(work, f"f{i}.txt") for i in range(4)]
    package = os.path.join(work, "p.qvc")

    def loop():
        compressor = QVCompressor(os.path.join(work, "absent.bin"))
        turn = 0
        while True:
            turn += 1
            if operation == "encode":
                compressor.encode_files(paths, os.path.join(work, f"out-{turn % 2}.qvc"))
            else:
                compressor.decode_package(package, os.path.join(work, f"out-{turn % 2}"))

    threading.Thread(target=loop, daemon=True).start()
    time.sleep(delay)
    """
)


@pytest.fixture(scope="module")
def work(tmp_path_factory):
    import random

    from qvc_compressor import QVCompressor

    directory = tmp_path_factory.mktemp("exit")
    generator = random.Random(3)
    words = ["".join(generator.choices("abcdefghij", k=generator.randint(1, 8)))
             for _ in range(30_000)]
    paths = []
    for i in range(4):
        path = directory / f"f{i}.txt"
        path.write_text(" ".join(generator.choices(words, k=400_000)) + "\n", encoding="utf-8")
        paths.append(str(path))
    QVCompressor(str(directory / "absent.bin")).encode_files(paths, str(directory / "p.qvc"))
    return directory


# decode_package's counterpart is in test_decoder_file_writing.py.
@pytest.mark.parametrize("operation", ["encode"])
def test_program_ends_cleanly_with_a_daemon_thread_inside_a_call(work, operation):
    for delay in (0.05, 0.15, 0.3, 0.5):
        child = subprocess.run(
            [sys.executable, "-c", CHILD, str(work), operation, str(delay)],
            capture_output=True, text=True, timeout=120,
            env={**os.environ, "PYTHONWARNINGS": ""},
        )
        assert (child.returncode, child.stderr) == (0, ""), f"exit after {delay} s"
