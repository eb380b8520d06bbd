"""decode_package side by side with the plain-Python decoder and with the floor, in one process.

The floor is what any decoder of a package has to do at the least: `pickle.load` of the package,
one `decompress` of the token stream, and writing the restored files (their texts prepared
beforehand). Each corpus is packed once (by a plain-Python writer of the package format), then
the contenders run in turns, round after round; each round gives a ratio, and the median of
those ratios is printed:

    plain / module   how many times faster the module is than the plain decoder (target >= 5)
    module / floor   what the module costs above the floor (target <= 1.25)

Packages and restored files go to memory-backed /dev/shm when there is one, so that the disk's
write-back does not drown what is compared.

Usage: python bench/bench_decode.py [--rounds N] [--plain-rounds N] [--corpus stdlib|docs]...
"""

from __future__ import annotations

import argparse
import os
import pickle
import re
import shutil
import statistics
import struct
import sys
import tempfile
import time

import zstandard

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import corpus  # noqa: E402
from plain_decoder import PlainDecoder  # noqa: E402

import qvc_compressor  # noqa: E402

TOKEN = re.compile(r"\S+|\s+")


def readable_texts(paths: list[str]) -> list[tuple[str, str]]:
    """(path, text as the encoder reads it) of the files that are valid UTF-8."""
    texts = []
    for path in paths:
        try:
            with open(path, encoding="utf-8") as f:
                texts.append((path, f.read()))
        except UnicodeDecodeError:
            continue
    return texts


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
    zstandard.ZstdDecompressor().decompress(package["compressed"])
    os.makedirs(output_dir, exist_ok=True)
    for name, text in restored:
        with open(os.path.join(output_dir, name), "w", encoding="utf-8", newline="") as f:
            f.write(text)


def timed(function, *args) -> float:
    start = time.perf_counter()
    function(*args)
    return time.perf_counter() - start


def verify(output_dir: str, restored: list[tuple[str, str]]) -> None:
    for name, text in restored:
        with open(os.path.join(output_dir, name), encoding="utf-8", newline="") as f:
            if f.read() != text:
                raise SystemExit(f"{name}: restored text differs")


def bench_corpus(label: str, paths: list[str], work: str, rounds: int, plain_rounds: int) -> dict:
    texts = readable_texts(paths)
    package_path = os.path.join(work, f"{label}.pkg")
    names = write_package(texts, package_path)
    restored = [(name, text) for name, (_, text) in zip(names, texts)]
    input_bytes = sum(len(text.encode("utf-8")) for _, text in texts)
    out = {kind: os.path.join(work, f"{label}-{kind}") for kind in ("floor", "module", "plain")}

    module = qvc_compressor.QVCompressor(os.path.join(work, "absent_dict.bin"))
    module.decode_package(package_path, out["module"])
    verify(out["module"], restored)

    # Turns alternate so that a drift in the machine's speed touches every contender alike; each
    # ratio is taken within one round, and the median of those ratios is reported.
    times: dict[str, list[float]] = {kind: [] for kind in out}
    plain_over_module, module_over_floor = [], []
    for round_index in range(rounds):
        floor_time = timed(floor, package_path, out["floor"], restored)
        module_time = timed(module.decode_package, package_path, out["module"])
        times["floor"].append(floor_time)
        times["module"].append(module_time)
        module_over_floor.append(module_time / floor_time)
        if round_index < plain_rounds:
            plain_time = timed(PlainDecoder().decode_package, package_path, out["plain"])
            times["plain"].append(plain_time)
            plain_over_module.append(plain_time / module_time)
    if plain_rounds > 0:
        verify(out["plain"], restored)
    with open(package_path, "rb") as f:
        tokens = len(zstandard.ZstdDecompressor().decompress(pickle.load(f)["compressed"])) // 4
    print(
        f"{label}: {len(texts)} files, {input_bytes / 1e6:.1f} MB, {tokens / 1e6:.2f} M tokens, "
        f"vocabulary {len(module.global_dict)}, "
        f"package {os.path.getsize(package_path) / 1e6:.1f} MB"
    )
    for kind in ("floor", "module", "plain"):
        values = times[kind]
        median = statistics.median(values) * 1e3
        print(f"  {kind:6s} median {median:8.1f} ms over {len(values)} runs")
    ratios = {
        "plain / module": statistics.median(plain_over_module),
        "module / floor": statistics.median(module_over_floor),
    }
    print(f"  plain / module = {ratios['plain / module']:.2f}  (target >= 5)")
    print(f"  module / floor = {ratios['module / floor']:.3f}  (target <= 1.25)")
    return ratios


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--plain-rounds", type=int, default=2)
    parser.add_argument("--corpus", action="append", choices=["stdlib", "docs"])
    parser.add_argument(
        "--work-dir",
        default="/dev/shm" if os.path.isdir("/dev/shm") else None,
        help="where packages and restored files go (default: /dev/shm when there)",
    )
    args = parser.parse_args()
    corpora = {"stdlib": corpus.stdlib_sources, "docs": corpus.python_docs}
    work = tempfile.mkdtemp(prefix="bench_decode_", dir=args.work_dir)
    try:
        for label in args.corpus or ["stdlib", "docs"]:
            paths = corpora[label]()
            if not paths:
                print(f"{label}: corpus not available, skipped")
                continue
            bench_corpus(label, paths, work, args.rounds, args.plain_rounds)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
