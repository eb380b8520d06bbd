"""decode_package side by side with the plain-Python decoder and with the floor, in one process.

The fair floor is the serial sum of what any decoder of a package has to do at the least:
`pickle.load` of the package, building the inverse dict, one `decompress` of the token stream,
and writing every restored file through `open(..., "w", encoding="utf-8", newline="")` (their
texts prepared beforehand). Each corpus is packed once (by a plain-Python writer of the package format), then
the contenders run in turns, round after round; each round gives a ratio, and the median of
those ratios is printed:

    plain / module   how many times faster the module is than plain_decoder.py
    peer / module    how many times faster than peer_decoder.py, a competent Python user's
                     decoder (target >= 6 on the documentation)
    module / floor   the module's time over the fair floor (target <= 1.10)
    serial / floor   the same with `open` patched, so that every file is written through the
                     interpreter on its thread: what the writing thread gains

Packages and restored files go to memory-backed /dev/shm when there is one, so that the disk's
write-back does not drown what is compared.

Peak memory: the module and the plain decoder each decode the package once in a fresh
interpreter of their own; the figure is the highest resident size during the call above the
resident size just before it (Linux's VmHWM, reset before the call; elsewhere the growth of
ru_maxrss), and module / plain compares the two.

Fast paths (--fast-paths, with the module of `make switches-build`, which reads
QVC_FAST_PATHS_OFF at each call): the decoder as built against the same decoder with one of its
fast paths switched off, all in one process, in turns that rotate round after round:

    writing_thread off   every file written through the interpreter on the caller's thread

Each round gives each path's ratio (off / all on: above 1 means the path saves time); the
median and the range of those ratios are printed.

Usage: python bench/bench_decode.py [--rounds N] [--plain-rounds N] [--corpus NAME]...
                                    [--no-memory] [--fast-paths] [--json FILE]

--json FILE also writes the results as a list of rows, one per corpus, the format
bench/run_all.py reads.
"""

from __future__ import annotations

import argparse
import builtins
import gc
import json
import os
import pickle
import re
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time

import zstandard

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import corpus  # noqa: E402
from peak_memory import PeakMemory  # noqa: E402
from peer_decoder import PeerDecoder  # noqa: E402
from plain_decoder import PlainDecoder  # noqa: E402

import qvc_compressor  # noqa: E402

TOKEN = re.compile(r"\S+|\s+")


def write_package(texts: list[tuple[str, str]], package_path: str) -> list[str]:
    """Packs the texts as the encoder would (ids from 1 in order of first occurrence, level 6,
    4 threads); returns the stored names. Names are made unique so that every file survives."""
    vocabulary: dict[str, int] = {}
    ids: list[int] = []
    boundaries, names = [], []
    for index, (path, text) in enumerate(texts):
        for token in TOKEN.findall(text):
            token_id = vocabulary.get(token)
            if token_id is None:
                token_id = vocabulary[token] = len(vocabulary) + 1
            ids.append(token_id)
        boundaries.append(len(ids))
        names.append(f"{index:05d}_{os.path.basename(path)}")
    stream = struct.pack(f">{len(ids)}I", *ids)
    compressed = zstandard.ZstdCompressor(level=6, threads=4).compress(stream)
    package = {
        "compressed": compressed,
        "file_boundaries": boundaries,
        "filenames": names,
        "global_dict": vocabulary,
    }
    with open(package_path, "wb") as f:
        pickle.dump(package, f)
    return names


def floor(package_path: str, output_dir: str, restored: list[tuple[str, str]]) -> None:
    with open(package_path, "rb") as f:
        package = pickle.load(f)
    inverse_dict = dict(zip(package["global_dict"].values(), package["global_dict"]))
    zstandard.ZstdDecompressor().decompress(package["compressed"])
    del inverse_dict
    os.makedirs(output_dir, exist_ok=True)
    for name, text in restored:
        with open(os.path.join(output_dir, name), "w", encoding="utf-8", newline="") as f:
            f.write(text)


def decode_serially(module, package_path: str, output_dir: str) -> None:
    """decode_package with `open` replaced by a wrapper of itself, which keeps every file on
    the interpreter's path."""
    real_open = builtins.open
    builtins.open = lambda *args, **kwargs: real_open(*args, **kwargs)
    try:
        module.decode_package(package_path, output_dir)
    finally:
        builtins.open = real_open


def timed(function, *args) -> float:
    start = time.perf_counter()
    function(*args)
    return time.perf_counter() - start


def verify(output_dir: str, restored: list[tuple[str, str]]) -> None:
    for name, text in restored:
        with open(os.path.join(output_dir, name), encoding="utf-8", newline="") as f:
            if f.read() != text:
                raise SystemExit(f"{name}: restored text differs")


def measure_memory(contender: str, package_path: str, output_dir: str) -> float:
    """Peak memory growth in MiB of one decode_package call, in a fresh interpreter."""
    child = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--child", contender, package_path,
         output_dir],
        capture_output=True, text=True, check=True,
    )
    return json.loads(child.stdout.strip().splitlines()[-1])["peak_growth_kib"] / 1024


def child_main(contender: str, package_path: str, output_dir: str) -> None:
    decoder = (qvc_compressor.QVCompressor(os.path.join(os.path.dirname(output_dir), "no.bin"))
               if contender == "module" else PlainDecoder())
    gc.collect()
    peak = PeakMemory()
    decoder.decode_package(package_path, output_dir)
    print(json.dumps({"peak_growth_kib": peak.growth()}))


FAST_PATHS = ("writing_thread",)
SWITCHES_ENV = "QVC_FAST_PATHS_OFF"
TRACE_ENV = "QVC_PLAN_TRACE"
# The plan each setting must choose, as the switchable build reports it.
EXPECTED_PLANS = {
    "": "decode_package writer=thread",
    "writing_thread": "decode_package writer=interpreter",
}


def decode_with_paths_off(off: str, module, package_path: str, output_dir: str) -> float:
    os.environ[SWITCHES_ENV] = off
    try:
        return timed(module.decode_package, package_path, output_dir)
    finally:
        del os.environ[SWITCHES_ENV]


def check_plans(module, package_path: str, work: str) -> None:
    """Each setting must choose its own plan, or the figures would compare a path with itself."""
    trace = os.path.join(work, "plans.txt")
    os.environ[TRACE_ENV] = trace
    try:
        for off in EXPECTED_PLANS:
            decode_with_paths_off(off, module, package_path, os.path.join(work, "plan-check"))
    finally:
        del os.environ[TRACE_ENV]
    lines = []
    if os.path.exists(trace):
        with open(trace, encoding="utf-8") as f:
            lines = f.read().splitlines()
        os.unlink(trace)
    if lines != list(EXPECTED_PLANS.values()):
        raise SystemExit(f"--fast-paths needs the module of `make switches-build` "
                         f"({sys.executable} chose {lines or 'no traced plan'})")


def bench_fast_paths(label: str, paths: list[str], work: str, rounds: int) -> dict:
    texts = corpus.utf8_texts(paths)
    package_path = os.path.join(work, f"{label}.pkg")
    names = write_package(texts, package_path)
    restored = [(name, text) for name, (_, text) in zip(names, texts)]
    module = qvc_compressor.QVCompressor(os.path.join(work, "absent_dict.bin"))
    check_plans(module, package_path, work)
    settings = list(EXPECTED_PLANS)
    out = {off: os.path.join(work, f"{label}-paths-{off or 'all'}") for off in settings}
    for off in settings:
        decode_with_paths_off(off, module, package_path, out[off])
        verify(out[off], restored)
    times: dict[str, list[float]] = {off: [] for off in settings}
    ratios: dict[str, list[float]] = {path: [] for path in FAST_PATHS}
    for round_index in range(rounds):
        turn = round_index % len(settings)
        for off in settings[turn:] + settings[:turn]:
            times[off].append(decode_with_paths_off(off, module, package_path, out[off]))
        for path in FAST_PATHS:
            ratios[path].append(times[path][-1] / times[""][-1])
    all_on = statistics.median(times[""])
    print(f"{label}: {len(texts)} files; all fast paths on: median {all_on * 1e3:.1f} ms over "
          f"{rounds} runs")
    for path in FAST_PATHS:
        values = ratios[path]
        print(f"  {path + ' off':20s} / all on = {statistics.median(values):.3f} "
              f"(range {min(values):.3f} to {max(values):.3f})")
    return {
        "operation": "decode_package fast paths", "corpus": label, "all_on_s": all_on,
        "rounds": rounds,
        "off_over_on": {path: statistics.median(ratios[path]) for path in FAST_PATHS},
        "off_over_on_range": {path: [min(ratios[path]), max(ratios[path])]
                              for path in FAST_PATHS},
    }


def bench_corpus(label: str, paths: list[str], work: str, rounds: int, plain_rounds: int,
                 with_memory: bool = True) -> dict:
    texts = corpus.utf8_texts(paths)
    package_path = os.path.join(work, f"{label}.pkg")
    names = write_package(texts, package_path)
    restored = [(name, text) for name, (_, text) in zip(names, texts)]
    input_bytes = sum(len(text.encode("utf-8")) for _, text in texts)
    out = {kind: os.path.join(work, f"{label}-{kind}")
           for kind in ("floor", "module", "serial", "plain", "peer")}

    module = qvc_compressor.QVCompressor(os.path.join(work, "absent_dict.bin"))
    module.decode_package(package_path, out["module"])
    verify(out["module"], restored)

    # Turns alternate so that a drift in the machine's speed touches every contender alike; each
    # ratio is taken within one round, and the median of those ratios is reported.
    times: dict[str, list[float]] = {kind: [] for kind in out}
    plain_over_module, peer_over_module, module_over_floor = [], [], []
    serial_over_floor = []
    for round_index in range(rounds):
        floor_time = timed(floor, package_path, out["floor"], restored)
        module_time = timed(module.decode_package, package_path, out["module"])
        serial_time = timed(decode_serially, module, package_path, out["serial"])
        peer_time = timed(PeerDecoder().decode_package, package_path, out["peer"])
        times["floor"].append(floor_time)
        times["module"].append(module_time)
        times["peer"].append(peer_time)
        times["serial"].append(serial_time)
        serial_over_floor.append(serial_time / floor_time)
        module_over_floor.append(module_time / floor_time)
        peer_over_module.append(peer_time / module_time)
        if round_index < plain_rounds:
            plain_time = timed(PlainDecoder().decode_package, package_path, out["plain"])
            times["plain"].append(plain_time)
            plain_over_module.append(plain_time / module_time)
    verify(out["peer"], restored)
    if plain_rounds > 0:
        verify(out["plain"], restored)
    with open(package_path, "rb") as f:
        tokens = len(zstandard.ZstdDecompressor().decompress(pickle.load(f)["compressed"])) // 4
    print(
        f"{label}: {len(texts)} files, {input_bytes / 1e6:.1f} MB, {tokens / 1e6:.2f} M tokens, "
        f"vocabulary {len(module.global_dict)}, "
        f"package {os.path.getsize(package_path) / 1e6:.1f} MB"
    )
    for kind in ("floor", "module", "serial", "peer", "plain"):
        values = times[kind]
        if not values:
            continue
        median = statistics.median(values) * 1e3
        print(f"  {kind:6s} median {median:8.1f} ms over {len(values)} runs")
    ratios = {
        "plain / module": statistics.median(plain_over_module) if plain_over_module else None,
        "peer / module": statistics.median(peer_over_module),
        "module / floor": statistics.median(module_over_floor),
    }
    if ratios["plain / module"] is not None:
        print(f"  plain / module = {ratios['plain / module']:.2f}")
    print(f"  peer / module = {ratios['peer / module']:.2f}  (target >= 6 on docs)")
    print(f"  module / floor = {ratios['module / floor']:.3f}  (target <= 1.10)")
    print(f"  serial / floor = {statistics.median(serial_over_floor):.3f}  (every file written "
          f"through the interpreter)")
    peaks = {"module": None, "plain": None}
    if with_memory:
        for kind in peaks:
            peaks[kind] = measure_memory(kind, package_path, os.path.join(work, f"{label}-mem"))
        print(f"  peak memory: module {peaks['module']:.0f} MiB, plain {peaks['plain']:.0f} MiB; "
              f"module / plain {peaks['module'] / peaks['plain']:.2f}")
    return {
        "operation": "decode_package", "corpus": label, "files": len(names),
        "input_mib": input_bytes / 2**20, "tokens": tokens,
        "distinct_tokens": len(module.global_dict),
        "package_mib": os.path.getsize(package_path) / 2**20,
        "ours_s": statistics.median(times["module"]),
        "straightforward_s": statistics.median(times["plain"]) if times["plain"] else None,
        "straightforward": "plain_decoder.py",
        "floor_s": statistics.median(times["floor"]),
        "floor": "pickle.load + inverse dict + decompress + writing the restored files",
        "peer_s": statistics.median(times["peer"]), "peer": "peer_decoder.py",
        # The ratios are the medians of each round's own ratio, as printed above.
        "speedup": ratios["plain / module"], "over_floor": ratios["module / floor"],
        "serial_over_floor": statistics.median(serial_over_floor),
        "peer_speedup": ratios["peer / module"],
        "target": (">= 6x peer, " if label == "docs" else "") + "<= 1.10x floor",
        "timing": f"median of {rounds} (plain {len(times['plain'])}), ratios per round",
        "peak_ours_mib": peaks["module"], "peak_straightforward_mib": peaks["plain"],
        "peak_ratio": peaks["module"] / peaks["plain"] if with_memory else None,
        "peak_per_input_byte": peaks["module"] * 2**20 / input_bytes if with_memory else None,
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--plain-rounds", type=int, default=2)
    parser.add_argument("--corpus", action="append",
                        choices=["stdlib", "docs", "cjk", "smalldocs"])
    parser.add_argument("--no-memory", action="store_true", help="skip the memory runs")
    parser.add_argument("--fast-paths", action="store_true",
                        help="each fast path switched off against all on (module of "
                        "`make switches-build`)")
    parser.add_argument("--json", metavar="FILE", help="also write the results to FILE as JSON")
    parser.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    parser.add_argument(
        "--work-dir",
        default="/dev/shm" if os.path.isdir("/dev/shm") else None,
        help="where packages and restored files go (default: /dev/shm when there)",
    )
    args = parser.parse_args()
    if args.child:
        child_main(*args.child)
        return
    corpora = {"stdlib": corpus.stdlib_sources, "docs": corpus.python_docs,
               "cjk": corpus.cjk_documents, "smalldocs": corpus.small_documents}
    work = tempfile.mkdtemp(prefix="bench_decode_", dir=args.work_dir)
    rows = []
    try:
        for label in args.corpus or list(corpora):
            paths = corpora[label]()
            if not paths:
                print(f"{label}: corpus not available, skipped")
                continue
            if args.fast_paths:
                rows.append(bench_fast_paths(label, paths, work, args.rounds))
            else:
                rows.append(bench_corpus(label, paths, work, args.rounds, args.plain_rounds,
                                         not args.no_memory))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump(rows, f, indent=1)


if __name__ == "__main__":
    main()
