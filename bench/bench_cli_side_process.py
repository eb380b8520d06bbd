"""Whether checking restored files in a second process pays, side by side in one run.

`qvc unpack` checks each restored file against its digest either in a second interpreter
running beside the decoder or in its own process after the decoder. This unpacks the standard
library's UTF-8 sources (paths kept), packed once, with the command line's own code both ways,
in alternating order, round after round, and prints the median time of each way and the
median and range of the ratio in-process / second process over the rounds (above 1: the second
process is faster). (`qvc pack` took its digests the same two ways until this measured less
than 5% between them: 1.03 and 1.05 at two loads; it now takes them in its own process.) The load average is
printed before each round; run it once on an idle machine and once with load added, e.g.
`yes > /dev/null & yes > /dev/null &`.

Usage: python bench/bench_cli_side_process.py [--rounds N] [--json FILE]
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from bench_cli_manifest import utf8_tree  # noqa: E402
from qvc_cli import side_process  # noqa: E402
from qvc_cli.input_tree import walk_inputs  # noqa: E402
from qvc_cli.packing import PackOptions, fresh_compressor, pack  # noqa: E402
from qvc_cli.restoring import unpack  # noqa: E402

WAYS = ("second process", "in process")


def timed(work) -> float:
    started = time.perf_counter()
    work()
    return time.perf_counter() - started


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--json", metavar="FILE")
    args = parser.parse_args()
    base = "/dev/shm" if os.path.isdir("/dev/shm") else None
    times: dict[str, dict[str, list[float]]] = {"unpack": {}}
    loads = []
    with tempfile.TemporaryDirectory(prefix="qvc_bench_side_", dir=base) as work:
        root = utf8_tree(work)
        package = os.path.join(work, "p.qvc")
        pack(walk_inputs([root]), fresh_compressor(), PackOptions(package))
        for round_number in range(args.rounds):
            loads.append(os.getloadavg()[0])
            print(f"round {round_number + 1}: load average {loads[-1]:.2f}", file=sys.stderr)
            order = WAYS if round_number % 2 == 0 else WAYS[::-1]
            for way in order:
                side_process.second_processor_free = lambda way=way: way == "second process"
                target = os.path.join(work, "out")
                times["unpack"].setdefault(way, []).append(
                    timed(lambda: unpack(package, target, force=False)))
                shutil.rmtree(target)
    rows = []
    for operation, by_way in times.items():
        side, inside = by_way["second process"], by_way["in process"]
        ratios = [i / s for i, s in zip(inside, side)]
        row = {"operation": operation, "second_process_s": statistics.median(side),
               "in_process_s": statistics.median(inside), "ratio_median": statistics.median(ratios),
               "ratio_min": min(ratios), "ratio_max": max(ratios)}
        rows.append(row)
        print(f"{operation:7} second process {row['second_process_s'] * 1e3:6.0f} ms   in process "
              f"{row['in_process_s'] * 1e3:6.0f} ms   in / second {row['ratio_median']:.3f} "
              f"(rounds: {row['ratio_min']:.3f} to {row['ratio_max']:.3f}); load {min(loads):.1f} to {max(loads):.1f}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"rows": rows, "loads": loads}, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
