"""Which plan a call chooses: the fast ways only where nothing can tell them from the plain one.
Asked of the build whose plans can be traced (`make switches-build`, in .venv-switches), which
appends each call's plan to the file named by QVC_PLAN_TRACE."""

import os
import subprocess
import textwrap

import pytest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir)
SWITCHES_PYTHON = os.environ.get("QVC_SWITCHES_PYTHON",
                                 os.path.join(ROOT, ".venv-switches", "bin", "python"))
# How the second phase looks tokens up: once per distinct token in exact dicts, else every time.
DISTINCT = "encode_files ids=once-per-distinct-token"
EVERY = "encode_files ids=every-token"

pytestmark = pytest.mark.skipif(not os.path.exists(SWITCHES_PYTHON),
                                reason="needs the traced build: make switches-build")

SETUP = """
import builtins, collections, os, sys
from qvc_compressor import QVCompressor
work = sys.argv[1]
paths = [os.path.join(work, "a.txt"), os.path.join(work, "b.txt")]
for path in paths:
    with open(path, "w") as f:
        f.write("some words and some more words\\n")
compressor = QVCompressor(os.path.join(work, "absent.bin"))
output = os.path.join(work, "p.qvc")
"""

CASES = {
    "plain": ("compressor.encode_files(paths, output)",
              ["encode_files reader=native compression=pieces", DISTINCT]),
    "subclass": ("""
class Mine(QVCompressor):
    pass
Mine(os.path.join(work, "absent.bin")).encode_files(paths, output)""",
                 ["encode_files reader=interpreter compression=pieces", DISTINCT]),
    "overridden tokenize": ("""
class Mine(QVCompressor):
    def tokenize(self, text):
        return super().tokenize(text)
Mine(os.path.join(work, "absent.bin")).encode_files(paths, output)""",
                            ["encode_files reader=interpreter compression=pieces", DISTINCT]),
    "wrapped open": ("""
original = builtins.open
builtins.open = lambda *args, **kwargs: original(*args, **kwargs)
compressor.encode_files(paths, output)""",
                     ["encode_files reader=interpreter compression=pieces", DISTINCT]),
    "mapping that is no dict": ("""
compressor.global_dict = collections.UserDict(compressor.global_dict)
compressor.encode_files(paths, output)""",
                                ["encode_files reader=native compression=pieces", EVERY]),
    "dict subclass": ("""
compressor.inverse_dict = collections.OrderedDict()
compressor.encode_files(paths, output)""",
                      ["encode_files reader=native compression=pieces", EVERY]),
    "no compression threads": ("compressor.encode_files(paths, output, threads=0)",
                               ["encode_files reader=native compression=one-call", DISTINCT]),
}


@pytest.mark.parametrize("case", sorted(CASES))
def test_encode_plan(tmp_path, case):
    body, expected = CASES[case]
    trace = tmp_path / "plans.txt"
    child = subprocess.run(
        [SWITCHES_PYTHON, "-c", SETUP + textwrap.dedent(body), str(tmp_path)],
        capture_output=True, text=True, timeout=120,
        env={**os.environ, "QVC_PLAN_TRACE": str(trace), "QVC_FAST_PATHS_OFF": ""},
    )
    assert child.returncode == 0, child.stderr
    plans = [line for line in trace.read_text().splitlines() if line.startswith("encode_files")]
    assert plans == expected
