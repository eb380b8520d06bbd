"""What each fast path buys on its own: every path switched off alone against all of them on,
side by side in one process, on real corpora.

Needs the module built with its switches (`make switches-build`, into .venv-switches): that build
reads QVC_FAST_PATHS_OFF at every call, so the configurations take turns round by round (the
order rotating) and each round's times are compared within that round. For each path and corpus
the table gives the median of the per-round ratios `time with the path off / time with all on`
and their range: 1.10 means the call takes 10% longer without the path. Every configuration's
package (or restored tree) is checked to be byte-identical to the all-on one.

Usage: .venv-switches/bin/python bench/bench_fast_paths.py [--rounds N] [--corpus NAME]...
                                  [--operation encode|decode]... [--json FILE]
"""

from __future__ import annotations

import argparse
import filecmp
import json
import os
import shutil
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import corpus  # noqa: E402

import qvc_compressor  # noqa: E402

SWITCH_ENV = "QVC_FAST_PATHS_OFF"
PATHS = {
    "encode": ["native_reading", "own_pickler"],
    "decode": ["writing_thread"],
}
CORPORA = {
    "stdlib": lambda: corpus.utf8_files(corpus.stdlib_sources()),
    "docs": lambda: corpus.python_docs(),
    "cjk": lambda: corpus.cjk_documents(),
    "small": lambda: corpus.small_documents(),
    "big": lambda: [corpus.big_text_file()],
}


def switched(off: str | None):
    if off is None:
        os.environ.pop(SWITCH_ENV, None)
    else:
        os.environ[SWITCH_ENV] = off


def encode_once(paths, workdir, off):
    switched(off)
    output = os.path.join(workdir, f"{off or 'all'}.qvc")
    compressor = qvc_compressor.QVCompressor(os.path.join(workdir, "absent.bin"))
    start = time.perf_counter()
    compressor.encode_files(paths, output)
    elapsed = time.perf_counter() - start
    return elapsed, output


def decode_once(package, workdir, off):
    switched(off)
    output = os.path.join(workdir, f"out-{off or 'all'}")
    shutil.rmtree(output, ignore_errors=True)
    compressor = qvc_compressor.QVCompressor(os.path.join(workdir, "absent.bin"))
    start = time.perf_counter()
    compressor.decode_package(package, output)
    elapsed = time.perf_counter() - start
    return elapsed, output


def same_tree(a: str, b: str) -> bool:
    comparison = filecmp.dircmp(a, b)
    if comparison.left_only or comparison.right_only:
        return False
    _, mismatch, errors = filecmp.cmpfiles(a, b, comparison.common_files, shallow=False)
    return not mismatch and not errors


def measure(operation, paths, rounds):
    configurations = [None] + PATHS[operation]
    times = {c: [] for c in configurations}
    with tempfile.TemporaryDirectory(prefix="qvc-fast-paths-") as workdir:
        if operation == "decode":
            switched(None)
            package = os.path.join(workdir, "input.qvc")
            qvc_compressor.QVCompressor(os.path.join(workdir, "absent.bin")).encode_files(
                paths, package)
            run = lambda off: decode_once(package, workdir, off)  # noqa: E731
            same = same_tree
        else:
            run = lambda off: encode_once(paths, workdir, off)  # noqa: E731
            same = lambda a, b: filecmp.cmp(a, b, shallow=False)  # noqa: E731
        reference = run(None)[1]
        kept_reference = os.path.join(workdir, "reference")
        os.rename(reference, kept_reference)
        for round_number in range(rounds):
            shift = round_number % len(configurations)
            for off in configurations[shift:] + configurations[:shift]:
                elapsed, output = run(off)
                if not same(kept_reference, output):
                    raise SystemExit(f"{operation} with {off or 'all'} off differs")
                times[off].append(elapsed)
    switched(None)
    rows = []
    for off in PATHS[operation]:
        ratios = [t_off / t_on for t_off, t_on in zip(times[off], times[None])]
        rows.append({
            "operation": operation,
            "path": off,
            "all_on_s": statistics.median(times[None]),
            "off_s": statistics.median(times[off]),
            "ratio_median": statistics.median(ratios),
            "ratio_min": min(ratios),
            "ratio_max": max(ratios),
        })
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--corpus", action="append", choices=sorted(CORPORA))
    parser.add_argument("--operation", action="append", choices=sorted(PATHS))
    parser.add_argument("--json", metavar="FILE")
    args = parser.parse_args()
    rows = []
    print(f"{'operation':<8} {'corpus':<7} {'path off':<18} {'all on':>9} {'off':>9} "
          f"{'off/on':>7} {'range':>13}")
    for name in args.corpus or list(CORPORA):
        paths = CORPORA[name]()
        if not paths:
            print(f"{name}: corpus not available", file=sys.stderr)
            continue
        for operation in args.operation or list(PATHS):
            for row in measure(operation, paths, args.rounds):
                row["corpus"] = name
                rows.append(row)
                print(f"{operation:<8} {name:<7} {row['path']:<18} {row['all_on_s']*1e3:7.0f}ms "
                      f"{row['off_s']*1e3:7.0f}ms {row['ratio_median']:7.2f} "
                      f"{row['ratio_min']:6.2f}-{row['ratio_max']:.2f}", flush=True)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(rows, f, indent=1)


if __name__ == "__main__":
    main()
