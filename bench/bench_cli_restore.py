"""What reading a package costs `qvc`, side by side in one run: peak memory and time of `pack`,
`unpack`, `check` and `unpack -c` of one small file, on the same data.

Two data sets:
- one text file of --size bytes (default 272 MB), built from the machine's own texts: unpack's
  and check's peaks against pack's, and bytes of peak memory per restored byte;
- with --tree DIR (repeatable), the package of those trees (as `qvc pack --skip-invalid`
  packs them): one small file taken out with `unpack -c`, early and late in the package,
  against a full unpack and a check.

Each command runs as a child of this process, which reads its peak resident size from wait4.
Figures are printed per round and as ranges over the rounds.

Usage: python bench/bench_cli_restore.py [--size BYTES] [--tree DIR ...] [--rounds N] [--work DIR]
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "tests"))
sys.path.insert(0, HERE)

from cli_support import QVC  # noqa: E402
from corpus import _big_file_sources  # noqa: E402


def measured(*args: str, env: dict | None = None) -> tuple[float, int]:
    """(elapsed seconds, peak resident KiB) of `qvc args`; its output is thrown away."""
    started = time.perf_counter()
    process = subprocess.Popen([*QVC, *args], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
    _, status, usage = os.wait4(process.pid, 0)
    elapsed = time.perf_counter() - started
    error = process.stderr.read().decode("utf-8", "replace")
    process.stderr.close()
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"qvc {' '.join(args)} failed: {error}")
    return elapsed, usage.ru_maxrss


def build_text(path: str, size: int) -> None:
    written = 0
    with open(path, "wb") as out:
        while written < size:
            before = written
            for _, data in _big_file_sources():
                data = data[: size - written]
                out.write(data)
                written += len(data)
                if written >= size:
                    break
            if written == before:
                raise SystemExit("no UTF-8 text found on this machine")


def span(values: list[float], form: str) -> str:
    low, high = min(values), max(values)
    return form.format(low) if low == high else f"{form.format(low)} to {form.format(high)}"


def single_file(work: str, size: int, rounds: int) -> None:
    text = os.path.join(work, "big.txt")
    build_text(text, size)
    package = os.path.join(work, "big.qvc")
    ratios: dict[str, list[float]] = {"unpack/pack": [], "check/pack": [], "unpack per byte": []}
    for number in range(rounds):
        _, pack_peak = measured("pack", "-q", "-f", package, text)
        out = os.path.join(work, "out")
        shutil.rmtree(out, ignore_errors=True)
        unpack_time, unpack_peak = measured("unpack", "-q", package, "-o", out)
        check_time, check_peak = measured("check", "-q", package)
        shutil.rmtree(out, ignore_errors=True)
        ratios["unpack/pack"].append(unpack_peak / pack_peak)
        ratios["check/pack"].append(check_peak / pack_peak)
        ratios["unpack per byte"].append(unpack_peak * 1024 / size)
        print(f"round {number + 1}: {size / 1e6:,.0f} MB text; peak pack {pack_peak / 1024:,.0f} MiB, "
              f"unpack {unpack_peak / 1024:,.0f} MiB ({unpack_time:.1f} s), "
              f"check {check_peak / 1024:,.0f} MiB ({check_time:.1f} s)")
    print(f"single file: unpack's peak {span(ratios['unpack/pack'], '{:.2f}')} of pack's, "
          f"check's {span(ratios['check/pack'], '{:.2f}')}; "
          f"{span(ratios['unpack per byte'], '{:.2f}')} bytes of peak memory per restored byte")


def tree(work: str, trees: list[str], rounds: int) -> None:
    package = os.path.join(work, "tree.qvc")
    subprocess.run([*QVC, "pack", "-q", "-f", "--skip-invalid", package, *trees], check=True,
                   stderr=subprocess.DEVNULL)
    listing = json.loads(subprocess.run([*QVC, "info", "--json", package], check=True,
                                        capture_output=True).stdout)
    files = [entry for entry in listing["entries"] if entry["kind"] == "file"]
    small = [entry["path"] for entry in files if 20_000 <= (entry["size"] or 0) <= 50_000]
    early, late = small[len(small) // 10], small[-1]
    print(f"package of {len(files):,} files, {os.path.getsize(package) / 1e6:,.1f} MB; "
          f"early file {early}, late file {late}")
    rows: dict[str, list[tuple[float, int]]] = {"-c early": [], "-c late": [], "unpack": [], "check": []}
    for _ in range(rounds):
        rows["-c early"].append(measured("unpack", package, "-c", early))
        rows["-c late"].append(measured("unpack", package, "-c", late))
        out = os.path.join(work, "tree-out")
        shutil.rmtree(out, ignore_errors=True)
        rows["unpack"].append(measured("unpack", "-q", package, "-o", out))
        shutil.rmtree(out, ignore_errors=True)
        rows["check"].append(measured("check", "-q", package))
    for label, figures in rows.items():
        print(f"{label:>9}: {span([t for t, _ in figures], '{:.2f}')} s, "
              f"peak {span([m / 1024 for _, m in figures], '{:,.0f}')} MiB")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=272_000_000)
    parser.add_argument("--tree", action="append", default=[])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--work", default=None, help="directory for the data (default: a temporary one)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(dir=args.work) as work:
        if args.tree:
            tree(work, args.tree, args.rounds)
        if args.size:
            single_file(work, args.size, args.rounds)


if __name__ == "__main__":
    main()
