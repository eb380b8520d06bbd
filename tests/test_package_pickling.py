"""The package's pickle, written on a thread of its own while the stream is compressed: code that
runs meanwhile (signal handlers) may change the vocabulary. Nothing may be used after it was
freed, and no package may be written whose stream holds ids the written vocabulary does not."""

import os
import subprocess
import sys

import pytest

# The tokens of the input are known but four (a space and three words): once the vocabulary has
# grown by four, every id is given. Attempt k changes the vocabulary at the k-th signal check
# after that, if the package's file is not open yet: the checks of the id ledger's pass over the
# vocabulary, then those of the pickler's snapshot of it (one every 32,768 entries), then those
# of the compression.
HANDLER_CHANGES_THE_VOCABULARY = """
import pickle, signal, sys
from qvc_compressor import QVCompressor

LEARNED = 100_000
ACTION, ATTEMPTS = sys.argv[1], int(sys.argv[2])
# Known tokens in an order that compresses badly, so that the stream leaves the pickler's frames.
with open("in.txt", "w") as f:
    f.write(" ".join(f"w{i * 7919 % LEARNED}" for i in range(100_000)) + " new tokens here")

state = {}

def handler(signum, frame):
    compressor = state.get("compressor")
    if compressor is None or "writing" in state or len(compressor.global_dict) != LEARNED + 4:
        return
    if state["checks_left"] == 0:
        state["acted"] = True
        if ACTION == "clear":
            compressor.global_dict.clear()
            compressor.inverse_dict.clear()
        else:
            compressor.global_dict["w5"] = 10**9
    state["checks_left"] -= 1

def audit(event, args):
    if event == "open" and state and "w" in str(args[1]):
        state["writing"] = True

sys.addaudithook(audit)
signal.signal(signal.SIGALRM, handler)
for checks_left in range(ATTEMPTS):
    compressor = QVCompressor("absent.bin")
    compressor.global_dict = {f"w{i}": i + 1000 for i in range(LEARNED)}
    compressor.inverse_dict = {v: k for k, v in compressor.global_dict.items()}
    compressor.next_id = LEARNED + 1000
    state.update(compressor=compressor, checks_left=checks_left)
    signal.setitimer(signal.ITIMER_REAL, 0.00005, 0.00005)
    try:
        compressor.encode_files(["in.txt"], "out.pkg")
        refused = False
    except ValueError as error:
        assert "global_dict changed while encode_files gave ids" in str(error), error
        refused = True
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        acted = state.pop("acted", False)
        state.clear()
    # Dicts can be watched from 3.12 on; before, the file holds the vocabulary as it stands.
    assert refused == (acted and sys.version_info >= (3, 12)), (checks_left, acted)
    if not refused:
        with open("out.pkg", "rb") as f:
            package = pickle.load(f)
        assert list(package["global_dict"].items()) == list(compressor.global_dict.items()), (
            checks_left)
    print("refused" if refused else "written")
"""

ATTEMPTS = 16


@pytest.mark.parametrize("action", ["clear", "change an id"])
def test_handler_that_changes_the_vocabulary_while_it_is_pickled(tmp_path, action):
    completed = subprocess.run(
        [sys.executable, "-c", HANDLER_CHANGES_THE_VOCABULARY, action, str(ATTEMPTS)],
        capture_output=True, text=True, cwd=tmp_path, timeout=600,
        env={**os.environ, "PYTHONWARNINGS": ""})
    assert completed.returncode == 0, completed.stderr
    outcomes = completed.stdout.split()
    assert len(outcomes) == ATTEMPTS
    # The first attempts change the vocabulary before the file is written; it is refused then.
    assert outcomes[0] == ("refused" if sys.version_info >= (3, 12) else "written")
