"""encode_files while code of the caller's runs in the middle of the call: signal handlers, audit
hooks and path objects' __fspath__. Whatever that code does, the call must not touch freed memory,
and the package it writes must be the one the plain encoder writes under the same circumstances:
ids in the stream are the ids the written vocabulary holds, files are opened and read in list
order, each after its own "open" event, and the list is walked as it stands."""

import os
import pickle
import subprocess
import sys
import textwrap

import pytest
import zstandard

from qvc_compressor import QVCompressor

sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "bench"))
import plain_encoder  # noqa: E402


def run_child(code, *args):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
        capture_output=True, text=True, timeout=300,
        env={**os.environ, "PYTHONWARNINGS": ""},
    )


def decoded_texts(package_path):
    with open(package_path, "rb") as f:
        package = pickle.load(f)
    stream = zstandard.ZstdDecompressor().decompress(package["compressed"])
    inverse = {token_id: token for token, token_id in package["global_dict"].items()}
    tokens = [inverse.get(int.from_bytes(stream[i:i + 4], "big"), "<UNK>")
              for i in range(0, len(stream) - 3, 4)]
    texts, start = [], 0
    for end in package["file_boundaries"]:
        texts.append("".join(tokens[start:end]))
        start = end
    return texts


def test_a_signal_during_an_interpreter_read_frees_no_text_in_use(tmp_path):
    # A path object is read through the interpreter, and its text handed to the reading thread;
    # a handler that raises right after must not free the text while that thread copies it.
    big = tmp_path / "big.txt"
    line = b"word another\tthird \xc3\xa9t\xc3\xa9\r\n"
    with open(big, "wb") as f:
        f.write(line * (48_000_000 // len(line)))
    for delay in (0.01, 0.03, 0.06, 0.1, 0.15, 0.25):
        child = run_child(
            """
            import pathlib, signal, sys
            from qvc_compressor import QVCompressor

            class Stop(Exception):
                pass

            def stop(signum, frame):
                raise Stop

            signal.signal(signal.SIGALRM, stop)
            signal.setitimer(signal.ITIMER_REAL, float(sys.argv[2]))
            compressor = QVCompressor(sys.argv[1] + ".dict")
            try:
                compressor.encode_files([pathlib.Path(sys.argv[1])], sys.argv[1] + ".qvc")
            except Stop:
                pass
            signal.setitimer(signal.ITIMER_REAL, 0)
            """,
            big, delay,
        )
        assert (child.returncode, child.stderr) == (0, ""), f"signal after {delay} s"


@pytest.mark.skipif(os.environ.get("QVC_HUGE_TESTS") != "1",
                    reason="needs some 20 GB of memory and 5 GB of disk; QVC_HUGE_TESTS=1 runs it")
def test_a_token_longer_than_4_gib_is_kept_whole(tmp_path):
    # One file of 2**32 + 16 bytes without whitespace is one token of that length.
    huge = tmp_path / "huge.txt"
    with open(huge, "wb") as f:
        f.truncate(2**32 + 16)
    compressor = QVCompressor(str(tmp_path / "d.bin"))
    compressor.encode_files([str(huge)], str(tmp_path / "p.qvc"))
    assert [len(token) for token in compressor.global_dict] == [2**32 + 16]
