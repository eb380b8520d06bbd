"""tokenize and detokenize side by side with the interpreter's own tools, in one process.

For each corpus (real English prose, real source code) and each storage kind of its text (ASCII,
Latin-1 with accented letters, and with CJK ideographs, which makes the text 2 bytes a character),
`QVCompressor.tokenize(text)` and `re.findall(r"\\S+|\\s+", text)` run in turns; the minimum of
each one's wall times is taken and compared:

    findall / tokenize   how many times faster tokenize is (target >= 10, >= 7 on
                         2-byte text)

Peak memory: every contender runs once in a fresh interpreter on a text of at least
--memory-size characters (the corpus repeated whole); the figure is the highest resident size
during the call above the resident size just before it (Linux's VmHWM, reset before the call;
elsewhere the growth of ru_maxrss), next to the size of the result list's item array alone.
Building the text peaks above the text's own size (by about one copy of the corpus it repeats,
shown as the peak before the call); the reset keeps that headroom out of the growth, which
ru_maxrss alone would read low by as much.

detokenize: the join of the tokens of each text, as throughput, next to "".join of the same list.

Usage: python bench/bench_tokenize.py [--size CHARS] [--repeats N] [--memory-size CHARS]
                                      [--no-memory] [--json FILE]

--json FILE also writes the results as a list of rows (one per operation, corpus and text
variant), the format bench/run_all.py reads.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import re
import resource
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import corpus  # noqa: E402
from peak_memory import PeakMemory  # noqa: E402

import qvc_compressor  # noqa: E402

PATTERN = r"\S+|\s+"
KIND_NAMES = {1: "1-byte", 2: "2-byte", 4: "4-byte"}


def corpus_text(paths: list[str], size: int, kind: str) -> str:
    """The files' text with the few non-ASCII characters dropped and then made into the variant
    `kind`, repeated up to at least `size` characters (cut at a line end when longer). Built
    file by file, so that building it costs little more memory than the text itself."""
    parts, total = [], 0
    for path in paths:
        with open(path, encoding="utf-8", errors="replace") as f:
            part = variant(f.read().encode("ascii", "ignore").decode("ascii"), kind)
        parts.append(part)
        total += len(part)
        if total >= size:
            break
    base = "".join(parts)
    del parts
    if not base:
        raise ValueError("empty corpus")
    if len(base) >= size:
        cut = base.find("\n", size)
        return base if cut < 0 else base[: cut + 1]
    return base * -(-size // len(base))


def variant(text: str, kind: str) -> str:
    if kind == "ascii":
        return text
    if kind == "latin1":
        return corpus.latin1_variant(text)
    return corpus.cjk_variant(text)


def corpus_paths(name: str) -> tuple[str, list[str]]:
    if name == "prose":
        docs = corpus.python_docs()
        if docs:
            return "English prose (Python documentation sources)", docs
        return "source code (no prose corpus on this machine)", corpus.stdlib_sources()
    return "source code (standard library .py files)", corpus.stdlib_sources()


def storage_kind(text: str) -> int:
    """Bytes per character of the text's storage."""
    top = max(text, default="\0")
    return 1 if top <= "\xff" else 2 if top <= "\uffff" else 4


def best_of_turns(contenders: dict, argument, repeats: int) -> dict[str, float]:
    """The minimum wall time of each contender over `repeats` rounds of turns."""
    best = {name: float("inf") for name in contenders}
    for _ in range(repeats):
        for name, call in contenders.items():
            gc.collect()
            start = time.perf_counter()
            result = call(argument)
            elapsed = time.perf_counter() - start
            del result
            best[name] = min(best[name], elapsed)
    return best


def speed(size: int, repeats: int, peaks: dict) -> list[dict]:
    """Prints the timing tables; returns their rows, with the peaks of `peaks` (from memory())
    attached to the tokenize rows of the same corpus and variant."""
    rows = []
    print()
    compressor = qvc_compressor.QVCompressor(os.path.join(tempfile.gettempdir(), "no-such.bin"))
    findall = re.findall
    print(f"tokenize vs re.findall (minimum of {repeats} turns each)")
    print(f"{'corpus':<10} {'text':<8} {'storage':<7} {'chars':>10} {'tokens':>10} "
          f"{'tokenize':>10} {'findall':>10} {'ratio':>7}")
    joins = []
    for corpus_name in ("prose", "code"):
        source, paths = corpus_paths(corpus_name)
        for kind in ("ascii", "latin1", "cjk"):
            text = corpus_text(paths, size, kind)
            tokens = compressor.tokenize(text)
            if tokens != findall(PATTERN, text):
                raise SystemExit(f"tokenize differs from re.findall on {corpus_name}/{kind}")
            times = best_of_turns(
                {"tokenize": compressor.tokenize, "findall": lambda t: findall(PATTERN, t)},
                text,
                repeats,
            )
            print(f"{corpus_name:<10} {kind:<8} {KIND_NAMES[storage_kind(text)]:<7} "
                  f"{len(text):>10,} {len(tokens):>10,} {times['tokenize'] * 1e3:>8.1f}ms "
                  f"{times['findall'] * 1e3:>8.1f}ms {times['findall'] / times['tokenize']:>6.1f}x")
            peak = peaks.get((corpus_name, kind), {})
            rows.append({
                "operation": "tokenize", "corpus": f"{corpus_name} {kind}", "source": source,
                "ours_s": times["tokenize"], "straightforward_s": times["findall"],
                "straightforward": "re.findall", "floor_s": None,
                "speedup": times["findall"] / times["tokenize"], "over_floor": None,
                "target": ">= 7x" if kind == "cjk" else ">= 10x",
                "timing": f"minimum of {repeats}",
                "chars": len(text), "tokens": len(tokens),
                "storage": KIND_NAMES[storage_kind(text)],
                "peak_ours_mib": peak.get("tokenize"),
                "peak_straightforward_mib": peak.get("findall"),
                "peak_text_chars": peak.get("text_chars"),
            })
            joins.append((corpus_name, kind, source, text, tokens))
            del text
    print()
    print(f"detokenize vs \"\".join (minimum of {repeats} turns each)")
    print(f"{'corpus':<10} {'text':<8} {'detokenize':>12} {'join':>12} {'throughput':>14} "
          f"{'join/detok':>10}")
    for corpus_name, kind, source, text, tokens in joins:
        times = best_of_turns(
            {"detokenize": compressor.detokenize, "join": "".join}, tokens, repeats
        )
        if compressor.detokenize(tokens) != text:
            raise SystemExit(f"detokenize does not rebuild {corpus_name}/{kind}")
        rate = len(text) / times["detokenize"] / 1e6
        print(f"{corpus_name:<10} {kind:<8} {times['detokenize'] * 1e3:>10.1f}ms "
              f"{times['join'] * 1e3:>10.1f}ms {rate:>8.0f} Mchar/s "
              f"{times['join'] / times['detokenize']:>9.2f}x")
        rows.append({
            "operation": "detokenize", "corpus": f"{corpus_name} {kind}", "source": source,
            "ours_s": times["detokenize"], "straightforward_s": times["join"],
            "straightforward": '"".join', "floor_s": None,
            "speedup": times["join"] / times["detokenize"], "over_floor": None,
            "target": None, "timing": f"minimum of {repeats}",
            "chars": len(text), "tokens": len(tokens), "throughput_mchar_s": rate,
            "peak_ours_mib": None, "peak_straightforward_mib": None,
        })
    return rows


def peak_kib() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def memory_child(contender: str, corpus_name: str, kind: str, size: int) -> None:
    """Runs in a fresh interpreter: builds the text, then runs the contender once and prints
    the peak resident sizes as JSON."""
    _, paths = corpus_paths(corpus_name)
    text = corpus_text(paths, size, kind)
    gc.collect()
    before = peak_kib()
    peak = PeakMemory()
    if contender == "tokenize":
        compressor = qvc_compressor.QVCompressor(os.path.join(tempfile.gettempdir(), "no.bin"))
        result = compressor.tokenize(text)
    else:
        result = re.findall(PATTERN, text)
    growth = peak.growth()
    print(json.dumps({"before": before, "growth": growth, "tokens": len(result),
                      "chars": len(text), "text_bytes": len(text) * storage_kind(text)}))


def memory(size: int) -> dict:
    """Prints the memory table; returns {(corpus, variant): {"tokenize": MiB, "findall": MiB,
    ...}} with each contender's peak growth."""
    peaks = {}
    print(f"peak memory, each contender alone in a fresh interpreter, text of {size:,} chars")
    print(f"{'corpus':<10} {'text':<8} {'text MB':>8} {'peak before':>12} {'list MB':>8} "
          f"{'tokenize +MB':>13} {'findall +MB':>12} {'findall/tokenize':>17}")
    for corpus_name, kind in (("prose", "ascii"), ("prose", "cjk"), ("code", "ascii")):
        figures = {}
        for contender in ("tokenize", "findall"):
            child = subprocess.run(
                [sys.executable, os.path.abspath(__file__), "--memory-child", contender,
                 corpus_name, kind, str(size)],
                capture_output=True, text=True, check=True,
            )
            figures[contender] = json.loads(child.stdout)
        growth = {name: f["growth"] / 1024 for name, f in figures.items()}
        first = figures["tokenize"]
        list_mb = first["tokens"] * 8 / 2**20
        ratio = growth["findall"] / max(growth["tokenize"], 1)
        print(f"{corpus_name:<10} {kind:<8} {first['text_bytes'] / 2**20:>8.0f} "
              f"{first['before'] / 1024:>10.0f}MB {list_mb:>8.0f} {growth['tokenize']:>13.0f} "
              f"{growth['findall']:>12.0f} {ratio:>16.1f}x")
        peaks[corpus_name, kind] = {**growth, "text_chars": first["chars"],
                                    "before_mib": first["before"] / 1024}
    return peaks


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=6_000_000,
                        help="characters of each timed text (default 6,000,000)")
    parser.add_argument("--repeats", type=int, default=7, help="turns of each contender")
    parser.add_argument("--memory-size", type=int, default=50_000_000,
                        help="characters of the text of the memory runs (default 50,000,000)")
    parser.add_argument("--no-memory", action="store_true", help="skip the memory runs")
    parser.add_argument("--json", metavar="FILE", help="also write the results to FILE as JSON")
    parser.add_argument("--memory-child", nargs=4, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_child:
        contender, corpus_name, kind, size = args.memory_child
        memory_child(contender, corpus_name, kind, int(size))
        return
    # The memory runs go first: a child's peak resident size starts from its parent's size at
    # the fork (Linux carries it across exec), and the parent is small only before the corpora.
    peaks = {} if args.no_memory else memory(args.memory_size)
    rows = speed(args.size, args.repeats, peaks)
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump(rows, f, indent=1)


if __name__ == "__main__":
    main()
