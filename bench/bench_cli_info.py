"""How long `qvc info` takes, and how much memory, on a large package.

A corpus of real text is gathered from the machine's own files (documentation, sources,
headers) into a temporary directory, up to --size bytes, and packed twice: by `qvc pack` (with
its manifest, which records what info needs) and by the library alone (no manifest: info walks
the package's pickle, counting the vocabulary without building it). `qvc info --json` is then
run on each several times; the median elapsed time and the largest peak resident memory are
printed. Everything is removed afterwards.

Usage: python bench/bench_cli_info.py [--size BYTES] [--runs N] [--keep DIR]
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "tests"))

from cli_support import QVC, peak_memory  # noqa: E402

ROOTS = ["/usr/share/doc", "/usr/share", "/usr/include", "/usr/lib", "/usr/local/lib", "/opt", os.path.expanduser("~")]
PIECE = 8 << 20


def gather(directory: str, size: int) -> int:
    """Files of real UTF-8 text under `directory`, `size` bytes in all (repeated if the machine
    has less); returns how many distinct bytes were found."""
    os.makedirs(directory)
    seen, total, distinct, number = set(), 0, 0, 0
    buffer: list[bytes] = []
    found: list[bytes] = []

    def flush() -> None:
        nonlocal number
        with open(os.path.join(directory, f"part{number:04}.txt"), "wb") as f:
            f.write(b"".join(buffer))
        number += 1
        buffer.clear()

    for root in ROOTS:
        for parent, directories, files in os.walk(root):
            if parent.startswith(directory) or "/proc" in parent:
                directories.clear()
                continue
            for name in files:
                path = os.path.join(parent, name)
                try:
                    if not os.path.isfile(path) or os.path.islink(path) or not 256 < os.path.getsize(path) < 4 << 20:
                        continue
                    identity = os.stat(path).st_ino, os.stat(path).st_dev
                    if identity in seen:
                        continue
                    seen.add(identity)
                    with open(path, "rb") as f:
                        data = f.read()
                    data.decode("utf-8")
                except (OSError, UnicodeDecodeError):
                    continue
                if b"\0" in data:
                    continue
                buffer.append(data)
                found.append(data)
                total += len(data)
                distinct += len(data)
                if sum(map(len, buffer)) >= PIECE:
                    flush()
                if total >= size:
                    flush()
                    return distinct
    while total < size and found:
        for data in found:
            buffer.append(data)
            total += len(data)
            if sum(map(len, buffer)) >= PIECE:
                flush()
            if total >= size:
                break
    flush()
    return distinct


def timed_info(package: str, runs: int) -> tuple[float, int, dict]:
    times, peaks = [], []
    document = {}
    for _ in range(runs):
        started = time.perf_counter()
        status, peak, stdout = peak_memory("info", "--json", package)
        times.append(time.perf_counter() - started)
        peaks.append(peak)
        if status != 0:
            raise SystemExit(f"qvc info failed on {package}")
        document = json.loads(stdout)
    return statistics.median(times), max(peaks), document


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=400_000_000)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="qvc-info-")
    try:
        corpus = os.path.join(work, "corpus")
        distinct = gather(corpus, args.size)
        files = sorted(os.path.join(corpus, name) for name in os.listdir(corpus))
        total = sum(os.path.getsize(path) for path in files)
        print(f"corpus: {len(files)} files, {total / 1e6:.0f} MB ({distinct / 1e6:.0f} MB distinct)")
        with_manifest = os.path.join(work, "with.qvc")
        started = time.perf_counter()
        subprocess.run([*QVC, "pack", "-q", with_manifest, corpus], check=True)
        print(f"qvc pack: {time.perf_counter() - started:.1f} s")
        without = os.path.join(work, "without.qvc")
        script = ("import sys; from qvc_cli.packing import fresh_compressor; "
                  "fresh_compressor().encode_files(sys.argv[2:], sys.argv[1])")
        subprocess.run([sys.executable, "-c", script, without, *files], check=True)
        python_start = timed_info_baseline()
        for label, package in (("manifest", with_manifest), ("no manifest", without)):
            seconds, peak, document = timed_info(package, args.runs)
            vocabulary = document["vocabulary"]
            print(f"qvc info, {label}: package {document['package_bytes'] / 1e6:.0f} MB, vocabulary "
                  f"{vocabulary['entries']:,} tokens ({(vocabulary['share'] or 0):.1%} of it): median {seconds:.2f} s, "
                  f"peak {peak / 1024:.0f} MiB")
        print(f"(an interpreter that imports the command line and exits: {python_start:.2f} s)")
    finally:
        shutil.rmtree(work, ignore_errors=True)


def timed_info_baseline() -> float:
    started = time.perf_counter()
    subprocess.run([*QVC, "--help"], capture_output=True, check=True)
    return time.perf_counter() - started


if __name__ == "__main__":
    main()
