"""What the manifest and the digests cost `qvc pack` and `qvc unpack`, side by side in one run.

The standard library's sources are copied into a tree (their directories kept, so base names
like `__init__.py` clash as they do in real trees), then packed and unpacked by the command
line's own code, in turns, round after round:

    plain     everything `qvc` does to write and restore safely (private directory, fsync,
              rename into place, no overwriting), without the manifest: a flat package
    manifest  the same with the manifest: digests taken after encoding, line ends and paths
              recorded, every restored file checked, the tree with its modes and times rebuilt

Each round gives a ratio manifest / plain of the elapsed times; the median and the range over
the rounds are printed, with the absolute times, the package sizes and the size of the
manifest. The processor time of this process is printed too: `qvc pack` takes its digests in
its own process, and `qvc unpack` checks each file as it decodes it. The load average is printed
before each round.

Usage: python bench/bench_cli_manifest.py [--rounds N] [--json FILE]
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import shutil
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import corpus  # noqa: E402
from qvc_cli.input_tree import walk_inputs  # noqa: E402
from qvc_cli.manifest import read_from_package  # noqa: E402
from qvc_cli.packing import PackOptions, fresh_compressor, pack  # noqa: E402
from qvc_cli.restoring import unpack  # noqa: E402


def utf8_tree(work: str) -> str:
    """The standard library's UTF-8 sources copied under `work`/stdlib, paths kept."""
    sources = corpus.stdlib_sources()
    common = os.path.commonpath(sources)
    root = os.path.join(work, "stdlib")
    for path in corpus.utf8_files(sources):
        target = os.path.join(root, os.path.relpath(path, common))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy2(path, target)
    return root


def processor_seconds() -> float:
    """This process's user and system time."""
    own = resource.getrusage(resource.RUSAGE_SELF)
    return own.ru_utime + own.ru_stime


def timed(work) -> tuple[float, float]:
    """(elapsed, processor) seconds of `work()`."""
    own = processor_seconds()
    started = time.perf_counter()
    work()
    return time.perf_counter() - started, processor_seconds() - own


def time_pack(tree_root: str, output: str, with_manifest: bool) -> tuple[float, float]:
    return timed(lambda: pack(walk_inputs([tree_root]), fresh_compressor(),
                              PackOptions(output, with_manifest=with_manifest)))


def time_unpack(package: str, target: str, with_manifest: bool) -> tuple[float, float]:
    return timed(lambda: unpack(package, target, force=False, with_manifest=with_manifest))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--json", metavar="FILE")
    args = parser.parse_args()
    base = "/dev/shm" if os.path.isdir("/dev/shm") else None
    with tempfile.TemporaryDirectory(prefix="qvc_bench_cli_", dir=base) as work:
        root = utf8_tree(work)
        files = sum(len(names) for _, _, names in os.walk(root))
        size = sum(os.path.getsize(os.path.join(d, n)) for d, _, names in os.walk(root) for n in names)
        print(f"corpus: {files:,} files, {size / 2**20:.1f} MiB of the standard library, "
              f"{args.rounds} rounds", file=sys.stderr)
        packages = {variant: os.path.join(work, f"{variant}.qvc") for variant in ("plain", "manifest")}
        times: dict[str, dict[str, list[tuple[float, float]]]] = {"pack": {}, "unpack": {}}
        for round_number in range(args.rounds):
            print(f"round {round_number + 1}: load average {os.getloadavg()[0]:.2f}", file=sys.stderr)
            order = ["plain", "manifest"] if round_number % 2 == 0 else ["manifest", "plain"]
            for variant in order:
                with_manifest = variant == "manifest"
                if os.path.exists(packages[variant]):
                    os.unlink(packages[variant])
                times["pack"].setdefault(variant, []).append(time_pack(root, packages[variant], with_manifest))
            for variant in order:
                target = os.path.join(work, f"out-{variant}")
                times["unpack"].setdefault(variant, []).append(
                    time_unpack(packages[variant], target, variant == "manifest"))
                shutil.rmtree(target)
        manifest = read_from_package(packages["manifest"])
        assert manifest is not None and len(manifest.files) == files
        sizes = {variant: os.path.getsize(path) for variant, path in packages.items()}

    rows = []
    for operation, by_variant in times.items():
        plain, manifest = by_variant["plain"], by_variant["manifest"]
        ratios = [m[0] / p[0] for m, p in zip(manifest, plain)]

        def median(samples, field):
            return statistics.median(sample[field] for sample in samples)

        row = {
            "operation": operation,
            "plain_s": median(plain, 0),
            "manifest_s": median(manifest, 0),
            "ratio_median": statistics.median(ratios),
            "ratio_min": min(ratios),
            "ratio_max": max(ratios),
            "plain_cpu_s": median(plain, 1),
            "manifest_cpu_s": median(manifest, 1),
        }
        rows.append(row)
        print(f"{operation:7} plain {row['plain_s'] * 1e3:6.0f} ms   manifest {row['manifest_s'] * 1e3:6.0f} ms"
              f"   manifest / plain {row['ratio_median']:.3f} (rounds: {row['ratio_min']:.3f} to "
              f"{row['ratio_max']:.3f})")
        print(f"        processor: plain {row['plain_cpu_s'] * 1e3:6.0f} ms   manifest "
              f"{row['manifest_cpu_s'] * 1e3:6.0f} ms")
    extra = sizes["manifest"] - sizes["plain"]
    print(f"package {sizes['plain']:,} bytes plain, {sizes['manifest']:,} with the manifest "
          f"(+{extra:,} bytes, {extra / sizes['plain']:.2%})")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"rows": rows, "sizes": sizes, "files": files, "bytes": size}, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
