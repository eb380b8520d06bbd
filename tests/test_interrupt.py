"""Ctrl-C during long work: every long loop answers a pending signal within milliseconds, and the
failure leaves what an exception at that point leaves (tokenize: nothing changed; encode_files:
no package and no temporary file, the vocabulary unchanged or grown consistently; decode_package:
the old or the adopted vocabulary, and restored files that are the texts' beginnings).

Each case runs the operation in a child process that the test interrupts with SIGINT at several
moments of it. The bound on the delay is generous: the machine is shared, and a child under a
sanitizer runs several times slower."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

CHILD = textwrap.dedent(
    r"""
    import os, random, shutil, sys, time
    from qvc_compressor import QVCompressor

    kind, work = sys.argv[1], sys.argv[2]
    generator = random.Random(7)
    words = ["".join(generator.choice("abcdefghij\u00e9\u4e2d") for _ in range(generator.randint(1, 9)))
             for _ in range(200_000)]

    def text(n_words):
        return " ".join(generator.choices(words, k=n_words)) + "\n"

    inputs = os.path.join(work, "in")
    if not os.path.exists(inputs):
        os.makedirs(inputs)
        for i in range(24):
            with open(os.path.join(inputs, f"f{i:02}.txt"), "w", encoding="utf-8") as f:
                for _ in range(8):
                    f.write(text(40_000))
    paths = sorted(os.path.join(inputs, name) for name in os.listdir(inputs))
    package = os.path.join(work, "package.qvc")
    if not os.path.exists(package):
        QVCompressor(os.path.join(work, "absent")).encode_files(paths, package)
    expected = {}
    for path in paths:
        with open(path, "rb") as f:
            expected[os.path.basename(path)] = f.read()
    package_vocabulary = QVCompressor(os.path.join(work, "absent"))
    package_vocabulary.decode_package(package, os.path.join(work, "reference"))
    package_vocabulary = package_vocabulary.global_dict
    big_text = b"".join(expected.values()).decode("utf-8") * 2

    compressor = None

    def fresh():
        global compressor
        compressor = QVCompressor(os.path.join(work, "absent"))
        compressor.global_dict["old"] = 1
        compressor.inverse_dict[1] = "old"
        compressor.next_id = 2

    def run_tokenize():
        compressor.tokenize(big_text)

    def run_encode():
        compressor.encode_files(paths, os.path.join(work, "out", "package.qvc"))

    def run_decode():
        compressor.decode_package(package, os.path.join(work, "out"))

    def read(path):
        with open(path, "rb") as f:
            return f.read()

    def inverse_of(vocabulary):
        return {token_id: token for token, token_id in vocabulary.items()}

    def state_after_tokenize():
        unchanged = (compressor.global_dict == {"old": 1} and compressor.inverse_dict == {1: "old"}
                     and compressor.next_id == 2)
        return "ok" if unchanged else "vocabulary changed"

    complete_package = None  # what an uninterrupted run writes

    def state_after_encode():
        out = os.path.join(work, "out")
        # A signal that lands after the work's last check is raised when the call returns: the
        # package is then complete, which is as good as no package at all.
        if os.listdir(out) and not (os.listdir(out) == ["package.qvc"]
                                    and read(os.path.join(out, "package.qvc")) == complete_package):
            return f"left files behind: {os.listdir(out)}"
        vocabulary = compressor.global_dict
        if compressor.inverse_dict != inverse_of(vocabulary):
            return "inverse_dict is not the inversion"
        if sorted(vocabulary.values()) != list(range(1, len(vocabulary) + 1)):
            return "ids are not 1 to n"
        return "ok" if compressor.next_id == len(vocabulary) + 1 else "next_id off"

    def state_after_decode():
        vocabulary = compressor.global_dict
        if vocabulary == {"old": 1}:
            if compressor.inverse_dict != {1: "old"}:
                return "inverse_dict changed alone"
        elif vocabulary is None or vocabulary != package_vocabulary:
            return "vocabulary neither old nor adopted"
        elif compressor.inverse_dict not in ({1: "old"}, inverse_of(vocabulary)):
            return "inverse_dict neither old nor the inversion"
        out = os.path.join(work, "out")
        partial = 0
        for name in os.listdir(out) if os.path.exists(out) else []:
            with open(os.path.join(out, name), "rb") as f:
                written = f.read()
            if written != expected[name]:
                partial += 1
                if not expected[name].startswith(written):
                    return f"{name} is not the beginning of its text"
        return "ok" if partial <= 1 else "several files partly written"

    run = {"tokenize": run_tokenize, "encode": run_encode, "decode": run_decode}[kind]
    state = {"tokenize": state_after_tokenize, "encode": state_after_encode,
             "decode": state_after_decode}[kind]
    print("ready", flush=True)
    for command in sys.stdin:
        shutil.rmtree(os.path.join(work, "out"), ignore_errors=True)
        os.makedirs(os.path.join(work, "out"), exist_ok=True)
        fresh()
        print("start", flush=True)
        started = time.monotonic()
        try:
            try:
                run()
            except KeyboardInterrupt:
                caught = time.monotonic()
                print("interrupted", caught, state().replace(" ", "_"), flush=True)
                continue
            took = time.monotonic() - started
            if command.strip() == "measure":
                if kind == "encode":
                    complete_package = read(os.path.join(work, "out", "package.qvc"))
                print("took", took, flush=True)
                continue
            time.sleep(60)  # the signal is on its way
        except KeyboardInterrupt:
            pass  # it came after the work had ended: freeing a large result has no check
        print("finished", flush=True)
    """
)


class Child:
    def __init__(self, kind, work):
        self.process = subprocess.Popen(
            [sys.executable, "-c", CHILD, kind, str(work)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
        )
        assert self.line() == ["ready"]

    def line(self):
        line = self.process.stdout.readline()
        assert line, f"the child ended (status {self.process.wait()})"
        return line.split()

    def measure(self):
        self.process.stdin.write("measure\n")
        self.process.stdin.flush()
        assert self.line() == ["start"]
        reply = self.line()
        assert reply[0] == "took", reply
        return float(reply[1])

    def interrupt_after(self, delay):
        """(latency, state) of an interruption `delay` seconds into the work; None when the work
        ended first."""
        self.process.stdin.write("go\n")
        self.process.stdin.flush()
        assert self.line() == ["start"]
        time.sleep(delay)
        sent = time.monotonic()
        self.process.send_signal(signal.SIGINT)
        reply = self.line()
        if reply[0] == "finished":
            return None
        assert reply[0] == "interrupted", reply
        return float(reply[1]) - sent, reply[2]

    def close(self):
        self.process.stdin.close()
        self.process.wait(timeout=60)


@pytest.mark.parametrize("kind", ["tokenize", "encode", "decode"])
def test_ctrl_c_is_answered_at_once_and_leaves_a_failures_state(tmp_path_factory, kind):
    work = tmp_path_factory.getbasetemp() / "interrupt-work"
    child = Child(kind, work)
    try:
        duration = child.measure()
        bound = 0.5 + 0.3 * duration
        for fraction in (0.05, 0.4, 0.8):
            outcome = child.interrupt_after(fraction * duration)
            if outcome is None:
                continue
            latency, state = outcome
            assert state == "ok", (fraction, state)
            assert latency < bound, (fraction, latency, duration)
    finally:
        child.close()
