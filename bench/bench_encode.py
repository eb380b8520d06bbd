"""encode_files side by side with the plain-Python encoder, a competent Python user's encoder
and the fair floor, in one process.

The fair floor is the serial sum of what any writer of such a package has to do at the least:
read every file through the interpreter (`open(p, encoding="utf-8").read()`); build both dicts
from the distinct tokens in order of first occurrence (`dict(zip(tokens, ids))` and its
inverse); one `zstd.ZstdCompressor(level=6, threads=4).compress` of the packed stream; and
`pickle.dump` of the package (tokens, ids, stream and package are those the module wrote,
prepared beforehand). Every round packs the corpus with a fresh vocabulary; the contenders run
in turns (the order rotating from round to round) and the medians of their wall times are
compared:

    plain / module   how many times faster the module is than plain_encoder.py
    peer / module    how many times faster than peer_encoder.py (target >= 6)
    module / floor   the module's time over the fair floor (target <= 1.0, stretch 0.7)

The module replaces the package durably: a temporary file, synced to the disk before it is
renamed into place, and the directory synced after. What that costs shows against the module
writing the same package in place, as it does to a file with a second hard link (no temporary
file, no sync):

    durable replace  the module's time less its time writing in place

Peak memory is measured for each contender in a fresh interpreter of its own: the highest
resident size during the one call above the resident size just before it (Linux's VmHWM, reset
before the call; elsewhere the growth of ru_maxrss), with a fresh vocabulary and with one loaded
from a dictionary file that already holds every token:

    module / plain   the module's peak against the plain encoder's (target <= 1/4)
    peak / input     the module's peak per byte of input (target <= 4 on the big file)

Corpora: the standard library, the Python documentation, CJK documents, some 3,000 small
documentation files and one 400 MB text file (corpus.py says where each comes from). On the big
file the plain encoder runs once, for the package comparison, and its memory is not measured.

Usage: python bench/bench_encode.py [--rounds N] [--plain-rounds N] [--corpus NAME]...
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
import peer_encoder  # noqa: E402
import plain_encoder  # noqa: E402
from peak_memory import PeakMemory  # noqa: E402

import qvc_compressor  # noqa: E402

CORPORA = {
    "stdlib": corpus.stdlib_sources,
    "docs": corpus.python_docs,
    "cjk": corpus.cjk_documents,
    "smalldocs": corpus.small_documents,
    "big": lambda: [corpus.big_text_file()],
}
BIG = "big"


def corpus_paths(name: str) -> list[str] | None:
    paths = CORPORA[name]()
    if not paths:
        return None
    # The big file is valid UTF-8 by construction; reading it whole to check would cost GBs.
    return paths if name == BIG else corpus.utf8_files(paths)


def timed(action) -> float:
    gc.collect()
    start = time.perf_counter()
    kept = action()
    elapsed = time.perf_counter() - start
    del kept  # the vocabulary built is freed outside the measured time
    return elapsed


def floor_action(paths, tokens, ids, stream, package, output):
    def run():
        for path in paths:
            with open(path, encoding="utf-8") as f:
                f.read()
        global_dict = dict(zip(tokens, ids))
        inverse_dict = dict(zip(ids, tokens))
        zstandard.ZstdCompressor(level=6, threads=4).compress(stream)
        with open(output, "wb") as f:
            pickle.dump(package, f)
        return global_dict, inverse_dict

    return run


def compare_times(paths, workdir, rounds, plain_rounds):
    outputs = {name: os.path.join(workdir, f"{name}.pkg") for name in ("module", "plain", "peer")}
    dict_path = os.path.join(workdir, "absent_dict.bin")
    # A second link makes the module write the package in place.
    in_place_out = os.path.join(workdir, "in_place.pkg")
    open(in_place_out, "wb").close()
    os.link(in_place_out, in_place_out + ".link")

    def contender(name, encode):
        def run():
            compressor = qvc_compressor.QVCompressor(dict_path)
            encode(compressor)
            return compressor

        return name, run

    module = contender("module", lambda c: c.encode_files(paths, outputs["module"]))
    in_place = contender("in_place", lambda c: c.encode_files(paths, in_place_out))
    plain = contender("plain",
                      lambda c: plain_encoder.encode_files(c, paths, outputs["plain"]))
    peer = contender("peer", lambda c: peer_encoder.encode_files(c, paths, outputs["peer"]))

    module[1]()
    with open(outputs["module"], "rb") as f:
        package = pickle.load(f)
    stream = zstandard.ZstdDecompressor().decompress(package["compressed"])
    tokens = list(package["global_dict"])
    ids = list(package["global_dict"].values())
    floor = ("floor", floor_action(paths, tokens, ids, stream, package,
                                   os.path.join(workdir, "floor.pkg")))
    del stream

    times = {"module": [], "plain": [], "peer": [], "floor": [], "in_place": []}
    for round_index in range(rounds):
        order = [module, floor, peer, in_place]
        if round_index < plain_rounds:
            order.append(plain)
        # Rotating the order spreads the machine's drift evenly over the contenders.
        shift = round_index % len(order)
        for name, action in order[shift:] + order[:shift]:
            times[name].append(timed(action))
    identical = {}
    with open(outputs["module"], "rb") as f:
        module_bytes = f.read()
    for other in ("plain", "peer"):
        if os.path.exists(outputs[other]):
            with open(outputs[other], "rb") as f:
                identical[other] = f.read() == module_bytes
    medians = {name: statistics.median(values) for name, values in times.items() if values}
    return medians, identical, package


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
    paths = corpus_paths(corpus_name)
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
    big = name == BIG
    input_bytes = corpus.total_size(paths)
    print(f"\n== {name}: {len(paths)} files, {input_bytes / 2**20:.1f} MiB", flush=True)
    rounds = min(args.rounds, 3) if big else args.rounds
    plain_rounds = 1 if big else args.plain_rounds
    with tempfile.TemporaryDirectory(dir=args.work_dir) as workdir:
        medians, identical, package = compare_times(paths, workdir, rounds, plain_rounds)
        package_bytes = os.path.getsize(os.path.join(workdir, "module.pkg"))
        memory = {}
        if args.memory:
            memory["fresh", "module"] = measure_memory("module", name, None)["peak_growth_kib"]
            if not big:
                memory["fresh", "plain"] = measure_memory("plain", name, None)["peak_growth_kib"]
                learned_dict = os.path.join(workdir, "learned_dict.bin")
                learned = qvc_compressor.QVCompressor(learned_dict)
                learned.encode_files(paths, os.path.join(workdir, "learned.pkg"))
                learned.save_dict()
                del learned
                for contender in ("module", "plain"):
                    result = measure_memory(contender, name, learned_dict)
                    memory["learned", contender] = result["peak_growth_kib"]

    tokens = package["file_boundaries"][-1] if package["file_boundaries"] else 0
    print(f"   tokens {tokens:,}, distinct {len(package['global_dict']):,}")
    print("   time (median): " + ", ".join(f"{k} {v:.3f} s" for k, v in medians.items())
          + f"; packages identical: {identical}")
    print(f"   plain / module  {medians['plain'] / medians['module']:6.2f}")
    print(f"   peer / module   {medians['peer'] / medians['module']:6.2f}   (target >= 6)")
    print(f"   module / floor  {medians['module'] / medians['floor']:6.2f}   "
          f"(target <= 1.0, stretch 0.7)")
    durable = medians["module"] - medians["in_place"]
    print(f"   durable replace {durable * 1000:+6.1f} ms against writing in place "
          f"({medians['in_place']:.3f} s), {durable / medians['in_place']:+.1%}")
    peaks = {key: mib(kib) for key, kib in memory.items()}
    for key, value in sorted(peaks.items()):
        print(f"   peak memory, {key[0]} vocabulary, {key[1]}: {value:.0f} MiB")
    print(f"   package {package_bytes / 2**20:.2f} MiB = {package_bytes / input_bytes:.3f} of the "
          f"input; token stream {len(package['compressed']) / 2**20:.2f} MiB")
    row = {
        "operation": "encode_files", "corpus": name, "files": len(paths),
        "input_mib": input_bytes / 2**20, "tokens": tokens,
        "distinct_tokens": len(package["global_dict"]),
        "ours_s": medians["module"], "straightforward_s": medians["plain"],
        "straightforward": "plain_encoder.py", "floor_s": medians["floor"],
        "peer_s": medians["peer"], "peer": "peer_encoder.py",
        "floor": "read files + dict(zip()) both ways + zstd -6 (4 threads) + pickle.dump",
        "speedup": medians["plain"] / medians["module"],
        "peer_speedup": medians["peer"] / medians["module"],
        "over_floor": medians["module"] / medians["floor"],
        "target": ">= 6x peer, <= 1.0x floor",
        "timing": f"median of {rounds} (plain {min(rounds, plain_rounds)})",
        "packages_identical": all(identical.values()),
        "peak_ours_mib": peaks.get(("fresh", "module")),
        "peak_straightforward_mib": peaks.get(("fresh", "plain")),
        "package_mib": package_bytes / 2**20, "package_over_input": package_bytes / input_bytes,
        "stream_mib": len(package["compressed"]) / 2**20,
        "in_place_s": medians["in_place"],
        "durable_replace_s": medians["module"] - medians["in_place"],
    }
    if ("fresh", "module") in memory:
        row["peak_per_input_byte"] = memory["fresh", "module"] * 1024 / input_bytes
        if big:
            row["peak_per_input_target"] = "<= 4"
    if ("fresh", "plain") in memory:
        row.update({
            "peak_ratio": memory["fresh", "module"] / memory["fresh", "plain"],
            "peak_target": "<= 0.25",
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
    parser.add_argument("--work-dir", default=None,
                        help="where the packages go (default: the system's temporary directory)")
    parser.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        contender, corpus_name, learned_dict = args.child
        child_main(contender, corpus_name, learned_dict or None)
        return
    rows = []
    for name in args.corpus or ["stdlib", "docs", "cjk", "smalldocs", BIG]:
        paths = corpus_paths(name)
        if not paths:
            print(f"\n== {name}: not available on this machine")
            continue
        rows.append(report_corpus(name, paths, args))
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump(rows, f, indent=1)


if __name__ == "__main__":
    main()
