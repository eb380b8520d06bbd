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
import threading

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


# Runs in a child: an audit hook stays for the life of the interpreter. The same scenario runs
# through the module and through the plain encoder, each on a compressor of its own, and both
# packages and vocabularies are printed for the parent to compare.
SCENARIO = r"""
import os, pathlib, pickle, sys
from qvc_compressor import QVCompressor
sys.path.insert(0, sys.argv[2])
import plain_encoder

work, scenario = pathlib.Path(sys.argv[1]), sys.argv[3]
paths = [str(work / name) for name in ("one.txt", "two.txt", "three.txt")]
events = []
active = []

class Path(os.PathLike):
    # A path-like object whose __fspath__ is code of the caller's.
    def __init__(self, path, action=None):
        self.path, self.action = path, action
    def __fspath__(self):
        if self.action is not None:
            action, self.action = self.action, None
            action()
        return self.path

def hook(event, args):
    if event != "open" or not active or not isinstance(args[0], (str, os.PathLike)):
        return
    path = os.fspath(args[0])
    if path.startswith(str(work)) and path.endswith(".txt"):
        name = os.path.basename(path)
        events.append(name)
        action, active[:] = active[0], []  # the action opens files too
        try:
            action(name)
        finally:
            active[:] = [action]

sys.addaudithook(hook)

def renumber(compressor):
    # Gives a known token another id, consistently in both mappings.
    def action(name="two.txt"):
        if name == "two.txt":
            compressor.global_dict["alpha"] = 50
            compressor.inverse_dict[50] = "alpha"
            del compressor.inverse_dict[1]
    return action

def make_three(name):
    # Opening file two fetches file three's text on demand.
    if name == "two.txt":
        (work / "three.txt").write_text("made on demand\n")

results = []
for encode in ("module", "plain"):
    (work / "three.txt").write_text("placeholder\n")
    compressor = QVCompressor(str(work / "absent.bin"))
    compressor.global_dict.update({"alpha": 1, "beta": 2})
    compressor.inverse_dict.update({1: "alpha", 2: "beta"})
    compressor.next_id = 3
    filepaths = list(paths)
    if scenario == "audit_renumber":
        active[:] = [renumber(compressor)]
    elif scenario == "audit_fetch":
        active[:] = [make_three]
    elif scenario == "fspath_renumber":
        active[:] = []
        filepaths[1] = Path(paths[1], renumber(compressor))
    elif scenario == "fspath_appends":
        active[:] = []
        filepaths = paths[:2]
        filepaths[1] = Path(paths[1], lambda: filepaths.append(paths[2]))
    events.clear()
    output = str(work / f"{encode}.qvc")
    if encode == "module":
        compressor.encode_files(filepaths, output)
    else:
        plain_encoder.encode_files(compressor, filepaths, output)
    active[:] = []
    with open(output, "rb") as f:
        package = pickle.load(f)
    results.append((package, compressor.global_dict, compressor.inverse_dict,
                    compressor.next_id, list(events)))
sys.stdout.buffer.write(pickle.dumps(results))
"""


@pytest.mark.parametrize("scenario", ["audit_renumber", "audit_fetch", "fspath_renumber",
                                      "fspath_appends"])
def test_code_run_during_the_call_gives_the_plain_encoders_package(tmp_path, scenario):
    (tmp_path / "one.txt").write_text("alpha beta gamma\n")
    (tmp_path / "two.txt").write_text("gamma alpha delta\r\n")
    bench = os.path.join(os.path.dirname(__file__), os.pardir, "bench")
    child = subprocess.run([sys.executable, "-c", SCENARIO, str(tmp_path), bench, scenario],
                           capture_output=True, timeout=120)
    assert child.returncode == 0, child.stderr.decode()
    module, plain = pickle.loads(child.stdout)
    assert module == plain
    package = module[0]
    assert package["filenames"][:2] == ["one.txt", "two.txt"]
    # Every token decodes: the stream's ids are those the written vocabulary holds.
    assert "<UNK>" not in "".join(decoded_texts_of(package))


def decoded_texts_of(package):
    stream = zstandard.ZstdDecompressor().decompress(package["compressed"])
    inverse = {token_id: token for token, token_id in package["global_dict"].items()}
    tokens = [inverse.get(int.from_bytes(stream[i:i + 4], "big"), "<UNK>")
              for i in range(0, len(stream) - 3, 4)]
    return ["".join(tokens[start:end]) for start, end in
            zip([0] + package["file_boundaries"], package["file_boundaries"])]


def test_a_file_whose_content_depends_on_the_reading_thread_is_read_by_the_callers(tmp_path):
    # /proc/thread-self names the thread that opens it: its stat line starts with that thread's id.
    compressor = QVCompressor(str(tmp_path / "d.bin"))
    compressor.encode_files(["/proc/thread-self/stat"], str(tmp_path / "p.qvc"))
    with open(tmp_path / "p.qvc", "rb") as f:
        package = pickle.load(f)
    assert decoded_texts_of(package)[0].split()[0] == str(threading.get_native_id())


class IdThatRuns:
    """A vocabulary value whose conversion to an id runs the caller's code first."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __int__(self):
        self.action()
        return self.value

    def __reduce__(self):
        return int, (self.value,)


def vocabulary_changes(compressor):
    vocabulary = compressor.global_dict
    return {
        "renumbers": lambda: vocabulary.__setitem__("cat", 70),
        "drops": lambda: vocabulary.pop("cat"),
        "replaces": lambda: setattr(compressor, "global_dict", {**vocabulary, "cat": 70}),
        "adds": lambda: vocabulary.setdefault("unrelated", 90),
    }


@pytest.mark.skipif(sys.version_info < (3, 12), reason="dicts can be watched from 3.12 on")
@pytest.mark.parametrize("change", ["renumbers", "drops", "replaces", "adds"])
def test_a_vocabulary_changed_while_ids_are_given_writes_no_undecodable_package(tmp_path, change):
    # "cat" gets its new id first; converting "the"'s id then runs code that may change "cat"'s.
    (tmp_path / "one.txt").write_text("cat the cat\n")
    compressor = QVCompressor(str(tmp_path / "absent.bin"))
    compressor.global_dict["the"] = IdThatRuns(3, lambda: vocabulary_changes(compressor)[change]())
    compressor.inverse_dict[3] = "the"
    compressor.next_id = 4
    output = tmp_path / "p.qvc"
    if change == "adds":
        compressor.encode_files([str(tmp_path / "one.txt")], str(output))
        with open(output, "rb") as f:
            package = pickle.load(f)
        assert decoded_texts_of(package) == ["cat the cat\n"]
        return
    with pytest.raises(ValueError, match="global_dict changed while encode_files gave ids"):
        compressor.encode_files([str(tmp_path / "one.txt")], str(output))
    assert not output.exists()
