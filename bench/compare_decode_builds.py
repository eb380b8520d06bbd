"""decode_package of two builds of the module side by side: this interpreter's and another's.

Each corpus is packed once (bench_decode.write_package); then, round after round, a fresh
process of each interpreter decodes the package a few times (after one decode to warm up) and
reports its median, the two taking turns in alternating order. Each round gives the ratio
other / this; the median and range of those ratios are printed, so a figure above 1 means this
build is faster.

--serial decodes with `open` replaced by a wrapper of itself, so that both builds write every
file through the interpreter on the caller's thread (the way of a subclass or a wrapped `open`).

Usage: python bench/compare_decode_builds.py OTHER_PYTHON [--rounds N] [--repeats N]
                                             [--corpus NAME]... [--serial]
"""

from __future__ import annotations

import argparse
import filecmp
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import corpus  # noqa: E402
from bench_decode import write_package  # noqa: E402

TIMER = """
import builtins, os, statistics, sys, time
from qvc_compressor import QVCompressor
package_path, output_dir, repeats = sys.argv[1], sys.argv[2], int(sys.argv[3])
if sys.argv[4] == "serial":
    real_open = builtins.open
    builtins.open = lambda *args, **kwargs: real_open(*args, **kwargs)
compressor = QVCompressor(os.path.join(output_dir + "-dict", "absent.bin"))
compressor.decode_package(package_path, output_dir)
times = []
for _ in range(repeats):
    start = time.perf_counter()
    compressor.decode_package(package_path, output_dir)
    times.append(time.perf_counter() - start)
print(statistics.median(times))
"""


def timed_in(python: str, package_path: str, output_dir: str, repeats: int,
             serial: bool) -> float:
    result = subprocess.run([python, "-c", TIMER, package_path, output_dir, str(repeats),
                             "serial" if serial else "plain"],
                            capture_output=True, text=True, check=True)
    return float(result.stdout.strip())


def same_files(first: str, second: str) -> bool:
    names = sorted(os.listdir(first))
    if names != sorted(os.listdir(second)):
        return False
    return all(filecmp.cmp(os.path.join(first, name), os.path.join(second, name), shallow=False)
               for name in names)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("other_python")
    parser.add_argument("--rounds", type=int, default=6)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--corpus", action="append",
                        choices=["stdlib", "docs", "cjk", "smalldocs"])
    parser.add_argument("--serial", action="store_true")
    args = parser.parse_args()
    corpora = {"stdlib": corpus.stdlib_sources, "docs": corpus.python_docs,
               "cjk": corpus.cjk_documents, "smalldocs": corpus.small_documents}
    work = tempfile.mkdtemp(prefix="compare_decode_",
                            dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    contenders = {"this": sys.executable, "other": args.other_python}
    try:
        for label in args.corpus or list(corpora):
            paths = corpora[label]()
            if not paths:
                print(f"{label}: corpus not available, skipped")
                continue
            package_path = os.path.join(work, f"{label}.pkg")
            write_package(corpus.utf8_texts(paths), package_path)
            times = {name: [] for name in contenders}
            ratios = []
            for round_index in range(args.rounds):
                order = list(contenders) if round_index % 2 == 0 else list(contenders)[::-1]
                for name in order:
                    times[name].append(timed_in(contenders[name], package_path,
                                                os.path.join(work, f"{label}-{name}"),
                                                args.repeats, args.serial))
                ratios.append(times["other"][-1] / times["this"][-1])
            same = same_files(*(os.path.join(work, f"{label}-{name}") for name in contenders))
            print(f"{label}: this {statistics.median(times['this']) * 1e3:.1f} ms, other "
                  f"{statistics.median(times['other']) * 1e3:.1f} ms; other / this = "
                  f"{statistics.median(ratios):.3f} (range {min(ratios):.3f} to "
                  f"{max(ratios):.3f}, {args.rounds} rounds); restored files identical: {same}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
