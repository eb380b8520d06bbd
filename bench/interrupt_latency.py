"""How soon Ctrl-C is answered during a long pack, unpack or tokenize.

Builds about 400 MB of input from the machine's own texts (the interpreters' standard
libraries, the Python documentation sources when installed, /usr/share/doc) in a temporary
directory, then, for each operation, runs it in a fresh process, sends SIGINT at evenly spread
moments of it and measures the time from the signal to the KeyboardInterrupt the process
catches (both read from the same monotonic clock). Everything it made is deleted at the end.

    pack      encode_files of the input files into one package (level 6, 4 threads)
    unpack    decode_package of that package
    tokenize  tokenize of the input's text as one str

Usage: python bench/interrupt_latency.py [--mib 400] [--moments 8] [--json FILE]
"""

from __future__ import annotations

import argparse
import glob
import gzip
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import corpus  # noqa: E402

CHILD = r"""
import os, sys, time
from qvc_compressor import QVCompressor

operation, work, measuring = sys.argv[1], sys.argv[2], sys.argv[3] == "measure"
inputs = sorted(os.path.join(work, "in", name) for name in os.listdir(os.path.join(work, "in")))
package = os.path.join(work, "package.qvc")
compressor = QVCompressor(os.path.join(work, "absent"))
if operation == "tokenize":
    text = "".join(open(path, encoding="utf-8").read() for path in inputs)
    run = lambda: compressor.tokenize(text)
elif operation == "pack":
    run = lambda: compressor.encode_files(inputs, os.path.join(work, "out", "package.qvc"))
else:
    run = lambda: compressor.decode_package(package, os.path.join(work, "out"))
os.makedirs(os.path.join(work, "out"), exist_ok=True)
print("ready", flush=True)
sys.stdin.readline()
started = time.monotonic()
try:
    run()
except KeyboardInterrupt:
    caught = time.monotonic()
    left = sorted(os.listdir(os.path.join(work, "out"))) if operation == "pack" else []
    print("interrupted", caught, caught - started, "left:" + ",".join(left), flush=True)
else:
    took = time.monotonic() - started
    try:
        if not measuring:
            time.sleep(60)  # the signal is on its way
    except KeyboardInterrupt:
        pass
    print("finished", took, flush=True)
"""


def machine_texts() -> list[str]:
    """UTF-8 text files of this machine, largest sources first."""
    paths = corpus.stdlib_sources()
    for root in sorted(set(glob.glob("/usr/lib/python3*") + glob.glob(
            os.path.join(os.path.dirname(sysconfig.get_paths()["stdlib"]), "python3*")))):
        for directory, subdirs, files in os.walk(root):
            subdirs[:] = sorted(d for d in subdirs if d not in ("site-packages", "__pycache__"))
            paths.extend(os.path.join(directory, f) for f in sorted(files) if f.endswith(".py"))
    paths.extend(corpus.python_docs(install=False) or [])
    for directory, _, files in os.walk("/usr/share/doc"):
        paths.extend(os.path.join(directory, f) for f in sorted(files))
    return corpus.distinct_files(paths)


def text_of(path: str) -> str | None:
    try:
        opener = gzip.open if path.endswith(".gz") else open
        with opener(path, "rb") as f:
            return f.read().decode("utf-8")
    except (OSError, UnicodeDecodeError, EOFError):
        return None


def build_input(work: str, mib: int) -> int:
    """Copies of the machine's texts under work/in, at least `mib` MiB of them."""
    os.makedirs(os.path.join(work, "in"))
    texts = [t for t in map(text_of, machine_texts()) if t]
    total, copy = 0, 0
    while total < mib * 2**20:
        for text in texts:
            path = os.path.join(work, "in", f"{copy:08}.txt")
            with open(path, "w", encoding="utf-8", newline="") as f:
                f.write(text)
            total += len(text.encode("utf-8"))
            copy += 1
            if total >= mib * 2**20:
                break
    return total


def interrupt(work: str, operation: str, delay: float | None):
    """Runs `operation` in a child; with `delay`, sends SIGINT that long after it started.
    Returns the child's reply: ("finished", seconds) or ("interrupted", latency, at, left)."""
    child = subprocess.Popen([sys.executable, "-c", CHILD, operation, work,
                              "measure" if delay is None else "interrupt"],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline().strip() == "ready"
    child.stdin.write("go\n")
    child.stdin.flush()
    sent = None
    if delay is not None:
        time.sleep(delay)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
    reply = child.stdout.readline().split()
    child.wait()
    shutil.rmtree(os.path.join(work, "out"), ignore_errors=True)
    if reply[0] == "interrupted":
        return "interrupted", float(reply[1]) - sent, float(reply[2]), reply[3]
    return "finished", float(reply[1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--mib", type=int, default=400)
    parser.add_argument("--moments", type=int, default=8)
    parser.add_argument("--operation", action="append", choices=["pack", "unpack", "tokenize"])
    parser.add_argument("--json", metavar="FILE")
    args = parser.parse_args()
    rows = []
    work = tempfile.mkdtemp(prefix="qvc-interrupt-", dir="/tmp")
    try:
        size = build_input(work, args.mib)
        print(f"input: {len(os.listdir(os.path.join(work, 'in')))} files, {size / 2**20:.0f} MiB")
        from qvc_compressor import QVCompressor

        inputs = sorted(os.path.join(work, "in", n) for n in os.listdir(os.path.join(work, "in")))
        QVCompressor(os.path.join(work, "absent")).encode_files(
            inputs, os.path.join(work, "package.qvc"))
        for operation in args.operation or ["pack", "unpack", "tokenize"]:
            _, duration = interrupt(work, operation, None)
            latencies, stray = [], []
            for k in range(args.moments):
                outcome = interrupt(work, operation, duration * (k + 0.5) / args.moments)
                if outcome[0] == "interrupted":
                    latencies.append(outcome[1])
                    if outcome[3] != "left:":
                        stray.append(outcome[3])
            print(f"{operation:9s} takes {duration:6.2f} s; SIGINT at {len(latencies)} moments: "
                  f"latency median {statistics.median(latencies) * 1000:6.1f} ms, "
                  f"max {max(latencies) * 1000:6.1f} ms "
                  f"({', '.join(f'{latency * 1000:.0f}' for latency in latencies)})"
                  + (f"; files left behind: {stray}" if stray else ""))
            rows.append({"operation": operation, "input_mib": size / 2**20,
                         "duration_s": duration, "latencies_s": latencies,
                         "files_left": stray})
    finally:
        shutil.rmtree(work, ignore_errors=True)
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump(rows, f, indent=1)


if __name__ == "__main__":
    main()
