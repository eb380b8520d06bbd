"""encode_files side by side with the plain-Python encoder and with the floor, in one process.

The floor is what any writer of such a package has to do at the least: read the files, compress
the packed token stream with `zstd.ZstdCompressor(level=6, threads=4)` and `pickle.dump` the
package (stream and package are those the module wrote, prepared beforehand). Every round packs
the corpus with a fresh vocabulary; the contenders run in turns and the medians of their wall
times are compared:

    plain / module   how many times faster the module is than the plain encoder (target >= 5)
    module / floor   what the module costs above the floor (target <= 1.25)

The module replaces the package durably: a temporary file, synced to the disk before it is
renamed into place, and the directory synced after. What that costs shows against the module
writing the same package in place, as it does to a file with a second hard link (no temporary
file, no sync):

    durable replace  the module's time less its time writing in place

Peak memory is measured for each contender in a fresh interpreter of its own: the highest
resident size during the one call above the resident size just before it (Linux's VmHWM, reset
before the call; elsewhere the growth of ru_maxrss), with a fresh vocabulary and with one loaded
from a dictionary file that already holds every token:

    module / plain   the module's peak against the plain encoder's (target <= 1/3)

It also reports the package's size against the input and against zstd level 6 of the files'
concatenated bytes, which is what the format costs and gains.

Usage: python bench/bench_encode.py [--rounds N] [--plain-rounds N] [--corpus stdlib|docs]...
                                    [--no-memory] [--json FILE]

--json FILE also writes the results as a list of rows, one per corpus, the format
bench/run_all.py reads.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import pickle
import statistics
import subprocess
import sys
import tempfile
import time

import zstandard

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import corpus  # noqa: E402
import plain_encoder  # noqa: E402
from peak_memory import PeakMemory  # noqa: E402

import qvc_compressor  # noqa: E402

CORPORA = {"stdlib": corpus.stdlib_sources, "docs": corpus.python_docs}


def timed(action) -> float:
    gc.collect()
    start = time.perf_counter()
    kept = action()
    elapsed = time.perf_counter() - start
    del kept  # the vocabulary built is freed outside the measured time
    return elapsed


def floor_action(paths, stream, package, output):
    def run():
        for path in paths:
            with open(path, "r", encoding="utf-8") as f:
                f.read()
        zstandard.ZstdCompressor(level=6, threads=4).compress(stream)
        with open(output, "wb") as f:
            pickle.dump(package, f)

    return run


def compare_times(paths, workdir, rounds, plain_rounds):
    module_out = os.path.join(workdir, "module.pkg")
    plain_out = os.path.join(workdir, "plain.pkg")
    dict_path = os.path.join(workdir, "absent_dict.bin")
    # A second link makes the module write the package in place.
    in_place_out = os.path.join(workdir, "in_place.pkg")
    open(in_place_out, "wb").close()
    os.link(in_place_out, in_place_out + ".link")

    def module_run():
        compressor = qvc_compressor.QVCompressor(dict_path)
        compressor.encode_files(paths, module_out)
        return compressor

    def in_place_run():
        compressor = qvc_compressor.QVCompressor(dict_path)
        compressor.encode_files(paths, in_place_out)
        return compressor

    def plain_run():
        compressor = qvc_compressor.QVCompressor(dict_path)
        plain_encoder.encode_files(compressor, paths, plain_out)
        return compressor

    module_run()
    with open(module_out, "rb") as f:
        package = pickle.load(f)
    stream = zstandard.ZstdDecompressor().decompress(package["compressed"])
    floor_run = floor_action(paths, stream, package, os.path.join(workdir, "floor.pkg"))

    times = {"module": [], "plain": [], "floor": [], "in_place": []}
    for round_index in range(rounds):
        order = [("module", module_run), ("floor", floor_run), ("in_place", in_place_run)]
        if round_index < plain_rounds:
            order.append(("plain", plain_run))
        # Rotating the order spreads the machine's drift evenly over the contenders.
        shift = round_index % len(order)
        for name, action in order[shift:] + order[:shift]:
            times[name].append(timed(action))
    with open(module_out, "rb") as f, open(plain_out, "rb") as g:
        identical = f.read() == g.read()
    return {name: statistics.median(values) for name, values in times.items()}, identical, package


def measure_memory(contender, corpus_name, learned_dict):
    """Peak memory growth of one encode_files call, in a fresh interpreter."""
    child = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--child", contender, corpus_name,
         learned_dict or ""],
        capture_output=True,
        text=True,
        check=True,
    )
    return json.loads(child.stdout.strip().splitlines()[-1])


def child_main(contender, corpus_name, learned_dict):
    paths = corpus.utf8_files(CORPORA[corpus_name]())
    with tempfile.TemporaryDirectory() as workdir:
        dict_path = learned_dict or os.path.join(workdir, "absent_dict.bin")
        compressor = qvc_compressor.QVCompressor(dict_path)
        output = os.path.join(workdir, "package.pkg")
        gc.collect()
        peak = PeakMemory()
        if contender == "module":
            compressor.encode_files(paths, output)
        else:
            plain_encoder.encode_files(compressor, paths, output)
        growth = peak.growth()
    print(json.dumps({"peak_growth_kib": growth}))


def mib(kib):
    return kib / 1024


def report_corpus(name, paths, args):
    input_bytes = corpus.total_size(paths)
    print(f"\n== {name}: {len(paths)} files, {input_bytes / 2**20:.1f} MiB")
    with tempfile.TemporaryDirectory() as workdir:
        medians, identical, package = compare_times(paths, workdir, args.rounds, args.plain_rounds)
        package_bytes = os.path.getsize(os.path.join(workdir, "module.pkg"))
        learned_dict = os.path.join(workdir, "learned_dict.bin")
        learned = qvc_compressor.QVCompressor(learned_dict)
        learned.encode_files(paths, os.path.join(workdir, "learned.pkg"))
        learned.save_dict()
        memory = {}
        for vocabulary, dict_file in (("fresh", None), ("learned", learned_dict)):
            for contender in ("module", "plain") if args.memory else ():
                result = measure_memory(contender, name, dict_file)
                memory[vocabulary, contender] = result["peak_growth_kib"]

    concatenated = b"".join(open(p, "rb").read() for p in paths)
    zstd6_bytes = len(zstandard.ZstdCompressor(level=6).compress(concatenated))
    tokens = package["file_boundaries"][-1] if package["file_boundaries"] else 0

    print(f"   tokens {tokens:,}, distinct {len(package['global_dict']):,}")
    print(f"   time (median): module {medians['module']:.3f} s, plain {medians['plain']:.3f} s, "
          f"floor {medians['floor']:.3f} s; packages identical: {identical}")
    print(f"   plain / module  {medians['plain'] / medians['module']:6.2f}   (target >= 5)")
    print(f"   module / floor  {medians['module'] / medians['floor']:6.2f}   (target <= 1.25)")
    durable = medians["module"] - medians["in_place"]
    print(f"   durable replace {durable * 1000:+6.1f} ms against writing in place "
          f"({medians['in_place']:.3f} s), {durable / medians['in_place']:+.1%}")
    for vocabulary in ("fresh", "learned") if args.memory else ():
        module_kib, plain_kib = memory[vocabulary, "module"], memory[vocabulary, "plain"]
        print(f"   peak memory, {vocabulary} vocabulary: module {mib(module_kib):.0f} MiB, "
              f"plain {mib(plain_kib):.0f} MiB; module / plain {module_kib / plain_kib:.2f}   "
              f"(target <= 0.33)")
    print(f"   package {package_bytes / 2**20:.2f} MiB = {package_bytes / input_bytes:.3f} of the "
          f"input; zstd -6 of the files {zstd6_bytes / 2**20:.2f} MiB = "
          f"{zstd6_bytes / input_bytes:.3f}; package / zstd -6 {package_bytes / zstd6_bytes:.2f}")
    print(f"   of the package: token stream {len(package['compressed']) / 2**20:.2f} MiB, "
          f"the rest (names, boundaries, vocabulary) "
          f"{(package_bytes - len(package['compressed'])) / 2**20:.2f} MiB")
    peaks = {key: mib(kib) for key, kib in memory.items()}
    row = {
        "operation": "encode_files", "corpus": name, "files": len(paths),
        "input_mib": input_bytes / 2**20, "tokens": tokens,
        "distinct_tokens": len(package["global_dict"]),
        "ours_s": medians["module"], "straightforward_s": medians["plain"],
        "straightforward": "plain_encoder.py", "floor_s": medians["floor"],
        "floor": "read files + zstd -6 (4 threads) of the stream + pickle.dump",
        "speedup": medians["plain"] / medians["module"],
        "over_floor": medians["module"] / medians["floor"],
        "in_place_s": medians["in_place"],
        "durable_replace_s": medians["module"] - medians["in_place"],
        "target": ">= 5x, <= 1.25x floor",
        "timing": f"median of {args.rounds} (plain {min(args.rounds, args.plain_rounds)})",
        "packages_identical": identical,
        "peak_ours_mib": peaks.get(("fresh", "module")),
        "peak_straightforward_mib": peaks.get(("fresh", "plain")),
        "package_mib": package_bytes / 2**20, "package_over_input": package_bytes / input_bytes,
        "zstd6_mib": zstd6_bytes / 2**20, "package_over_zstd6": package_bytes / zstd6_bytes,
        "stream_mib": len(package["compressed"]) / 2**20,
    }
    if memory:
        row.update({
            "peak_ratio": memory["fresh", "module"] / memory["fresh", "plain"],
            "peak_target": "<= 0.33",
            "peak_learned_ours_mib": peaks["learned", "module"],
            "peak_learned_straightforward_mib": peaks["learned", "plain"],
            "peak_learned_ratio": memory["learned", "module"] / memory["learned", "plain"],
        })
    return row


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=5, help="rounds of the module and floor")
    parser.add_argument("--plain-rounds", type=int, default=3, help="rounds of the plain encoder")
    parser.add_argument("--corpus", action="append", choices=sorted(CORPORA))
    parser.add_argument("--no-memory", dest="memory", action="store_false",
                        help="skip the memory runs")
    parser.add_argument("--json", metavar="FILE", help="also write the results to FILE as JSON")
    parser.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        contender, corpus_name, learned_dict = args.child
        child_main(contender, corpus_name, learned_dict or None)
        return
    rows = []
    for name in args.corpus or ["stdlib", "docs"]:
        paths = CORPORA[name]()
        if not paths:
            print(f"\n== {name}: not available on this machine")
            continue
        rows.append(report_corpus(name, corpus.utf8_files(paths), args))
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump(rows, f, indent=1)


if __name__ == "__main__":
    main()
