"""What the progress display costs `qvc pack`, side by side in one run.

The same tree is packed in turns with standard error on a pseudo-terminal (the display drawn)
and on a pipe (no display), round after round; each round gives the ratio of the elapsed times.
The median and the range of the ratios are printed, with how often the display was redrawn.

Usage: python bench/bench_cli_progress.py [--size BYTES] [--rounds N]
"""

from __future__ import annotations

import argparse
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "tests"))

from cli_support import QVC, write_big_tree  # noqa: E402
from pty_support import run_on_terminal  # noqa: E402


def children_processor_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def timed_pack(work: str, on_terminal: bool) -> tuple[float, float, int]:
    """(elapsed seconds, processor seconds, redraws) of one pack of `work`/tree."""
    output = os.path.join(work, "out.qvc")
    command = [*QVC, "pack", output, os.path.join(work, "tree"), "--force"]
    started, processor = time.perf_counter(), children_processor_seconds()
    if on_terminal:
        result = run_on_terminal(command)
        status, redraws = result.status, result.output.count("\r")
    else:
        status, redraws = subprocess.run(command, capture_output=True).returncode, 0
    elapsed = time.perf_counter() - started
    if status != 0:
        raise SystemExit(f"qvc pack failed with status {status}")
    return elapsed, children_processor_seconds() - processor, redraws


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=200_000_000)
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="qvc-progress-") as work:
        from pathlib import Path

        write_big_tree(Path(work) / "tree", args.size)
        timed_pack(work, False)  # the files in the page cache for both
        ratios, processor_ratios, shown, plain, redraws = [], [], [], [], []
        for _ in range(args.rounds):
            with_display, processor_with, drawn = timed_pack(work, True)
            without, processor_without, _ = timed_pack(work, False)
            ratios.append(with_display / without)
            processor_ratios.append(processor_with / processor_without)
            shown.append(with_display)
            plain.append(without)
            redraws.append(drawn)
        print(f"pack of {args.size / 1e6:.0f} MB, {args.rounds} rounds, load average {os.getloadavg()[0]:.1f}")
        print(f"  with the display: median {statistics.median(shown):.2f} s, redrawn {statistics.median(redraws):.0f} times")
        print(f"  without:          median {statistics.median(plain):.2f} s")
        print(f"  elapsed ratio: median {statistics.median(ratios):.3f}, range {min(ratios):.3f} to {max(ratios):.3f}")
        print(f"  processor time ratio: median {statistics.median(processor_ratios):.3f}, "
              f"range {min(processor_ratios):.3f} to {max(processor_ratios):.3f}")


if __name__ == "__main__":
    main()
