"""What one fast path of encode_files buys on its own: the module with that path switched off
against the module with every path on, side by side in one process.

Needs the build whose fast paths can be switched off (`make switches-build`, which installs it
into .venv-switches); run it with that venv's interpreter:

    .venv-switches/bin/python bench/bench_fast_paths.py --path own_pickler

Every round packs the corpus twice with a fresh vocabulary, once with QVC_FAST_PATHS_OFF naming
the path and once without, in an order that alternates from round to round. The ratio of the
two wall times is taken within each round:

    off / on   how many times longer encode_files takes without the path (> 1: the path wins)

and the table gives its median and its range over the rounds. Both packages must be byte for
byte the same, or the run fails.

Peak memory, with --memory: the highest resident size of one call above the size just before
it, each in a fresh interpreter of its own (off and on), with a fresh vocabulary.

Usage: python bench/bench_fast_paths.py --path NAME [--rounds N] [--big-rounds N]
                                        [--corpus NAME]... [--memory] [--work-dir DIR]
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import corpus  # noqa: E402
from bench_encode import BIG, CORPORA, corpus_paths  # noqa: E402
from peak_memory import PeakMemory  # noqa: E402

import qvc_compressor  # noqa: E402

SWITCH = "QVC_FAST_PATHS_OFF"
PATHS = ["native_reading", "early_ids", "early_compression", "own_pickler"]


def switched(path: str | None):
    """Sets the switch for the calls that follow: `path` off, or every path on."""
    if path is None:
        os.environ.pop(SWITCH, None)
    else:
        os.environ[SWITCH] = path


def encode_seconds(paths, output, dict_path, path_off):
    switched(path_off)
    gc.collect()
    compressor = qvc_compressor.QVCompressor(dict_path)
    start = time.perf_counter()
    compressor.encode_files(paths, output)
    elapsed = time.perf_counter() - start
    del compressor  # the vocabulary is freed outside the measured time
    switched(None)
    return elapsed


def compare(paths, workdir, path, rounds):
    dict_path = os.path.join(workdir, "absent_dict.bin")
    outputs = {"off": os.path.join(workdir, "off.pkg"), "on": os.path.join(workdir, "on.pkg")}
    ratios, times = [], {"off": [], "on": []}
    for round_index in range(rounds):
        order = ["off", "on"] if round_index % 2 == 0 else ["on", "off"]
        seconds = {}
        for side in order:
            seconds[side] = encode_seconds(paths, outputs[side], dict_path,
                                           path if side == "off" else None)
            times[side].append(seconds[side])
        ratios.append(seconds["off"] / seconds["on"])
    with open(outputs["off"], "rb") as off, open(outputs["on"], "rb") as on:
        if off.read() != on.read():
            raise SystemExit(f"the package differs with {path} off")
    return ratios, times


def peak_memory(corpus_name, path_off):
    """Peak resident growth of one call, in KiB, in a fresh interpreter."""
    env = dict(os.environ)
    env.pop(SWITCH, None)
    if path_off:
        env[SWITCH] = path_off
    child = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", corpus_name],
                           capture_output=True, text=True, check=True, env=env)
    return json.loads(child.stdout.strip().splitlines()[-1])["peak_growth_kib"]


def child_main(corpus_name):
    paths = corpus_paths(corpus_name)
    with tempfile.TemporaryDirectory() as workdir:
        compressor = qvc_compressor.QVCompressor(os.path.join(workdir, "absent_dict.bin"))
        gc.collect()
        peak = PeakMemory()
        compressor.encode_files(paths, os.path.join(workdir, "package.pkg"))
        print(json.dumps({"peak_growth_kib": peak.growth()}))


def report(name, paths, args):
    rounds = args.big_rounds if name == BIG else args.rounds
    with tempfile.TemporaryDirectory(dir=args.work_dir) as workdir:
        ratios, times = compare(paths, workdir, args.path, rounds)
    line = (f"{name:10} {len(paths):6} files {corpus.total_size(paths) / 2**20:7.1f} MiB   "
            f"on {statistics.median(times['on']):7.3f} s  off {statistics.median(times['off']):7.3f} s"
            f"   off/on median {statistics.median(ratios):.3f}"
            f"  range {min(ratios):.3f}-{max(ratios):.3f}  ({rounds} rounds)")
    if args.memory:
        on, off = peak_memory(name, None), peak_memory(name, args.path)
        line += f"   peak MiB on {on / 1024:.0f} off {off / 1024:.0f}"
    print(line, flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--path", choices=PATHS, help="the fast path to switch off")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--big-rounds", type=int, default=3, help="rounds on the 400 MB file")
    parser.add_argument("--corpus", action="append", choices=sorted(CORPORA))
    parser.add_argument("--memory", action="store_true", help="also measure the peak memory")
    parser.add_argument("--work-dir", default=None)
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child_main(args.child)
        return
    if args.path is None:
        parser.error("--path is required")
    print(f"encode_files with {args.path} off against all paths on")
    for name in args.corpus or ["stdlib", "docs", "cjk", "smalldocs", BIG]:
        paths = corpus_paths(name)
        if not paths:
            print(f"{name:10} not available on this machine")
            continue
        report(name, paths, args)


if __name__ == "__main__":
    main()
