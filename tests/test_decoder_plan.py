"""Which plan decode_package follows, asked of the build of `make switches-build`: it writes each
call's plan to the file named by QVC_PLAN_TRACE, and QVC_FAST_PATHS_OFF switches paths off."""

import os
import subprocess
import textwrap

import pytest

from package_builder import package_of_texts, write_package

SWITCHES_PYTHON = os.environ.get(
    "QVC_SWITCHES_PYTHON",
    os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                 ".venv-switches", "bin", "python"))
pytestmark = pytest.mark.skipif(
    not os.path.exists(SWITCHES_PYTHON),
    reason="needs the module of `make switches-build` (.venv-switches), which reports its plans",
)

TEXTS = [("a.txt", "alpha beta\r\ngamma\n" * 50), ("b.txt", "Grüße 漢字 😀\n" * 20), ("c.txt", "")]
THREAD = "decode_package writer=thread"
INTERPRETER = "decode_package writer=interpreter"

# Code run before the decode; `compressor` is the object that decodes.
CASES = {
    "plain": ("compressor = QVCompressor('absent.bin')", "", THREAD),
    "subclass": ("class Mine(QVCompressor):\n    pass\ncompressor = Mine('absent.bin')", "",
                 INTERPRETER),
    "wrapped open": (
        "import builtins\nreal_open = builtins.open\n"
        "builtins.open = lambda *args, **kwargs: real_open(*args, **kwargs)\n"
        "compressor = QVCompressor('absent.bin')", "", INTERPRETER),
    "wrapped os.path.join": (
        "import os\nreal_join = os.path.join\n"
        "os.path.join = lambda *args: real_join(*args)\n"
        "compressor = QVCompressor('absent.bin')", "", INTERPRETER),
    # The vocabulary's type is known only once the package is read: an inverse_dict that is no
    # dict (swapped in by the decompressor here) keeps the plan, and its files are built
    # through the mapping's own `get`.
    "inverse_dict not a dict": (
        "import collections, qvc_compressor, zstandard\n"
        "compressor = QVCompressor('absent.bin')\n"
        "class Decompressor:\n"
        "    def decompress(self, data):\n"
        "        compressor.inverse_dict = collections.UserDict(compressor.inverse_dict)\n"
        "        return zstandard.ZstdDecompressor().decompress(data)\n"
        "class Binding:\n"
        "    ZstdDecompressor = Decompressor\n"
        "qvc_compressor.zstd = Binding()", "", THREAD),
    "writing_thread switched off": ("compressor = QVCompressor('absent.bin')", "writing_thread",
                                    INTERPRETER),
}


@pytest.mark.parametrize("case", list(CASES))
def test_the_plan_each_case_chooses_restores_the_same_files(tmp_path, case):
    setup, paths_off, expected_plan = CASES[case]
    write_package(tmp_path / "package.bin", package_of_texts(TEXTS))
    code = setup + "\ncompressor.decode_package('package.bin', 'out')\n"
    env = {**os.environ, "QVC_PLAN_TRACE": str(tmp_path / "plans.txt"),
           "QVC_FAST_PATHS_OFF": paths_off}
    script = "from qvc_compressor import QVCompressor\n" + code
    result = subprocess.run([SWITCHES_PYTHON, "-c", textwrap.dedent(script)], cwd=tmp_path,
                            env=env, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr[-3000:]
    assert (tmp_path / "plans.txt").read_text().splitlines() == [expected_plan]
    for name, text in TEXTS:
        assert (tmp_path / "out" / name).read_bytes() == text.encode("utf-8")
