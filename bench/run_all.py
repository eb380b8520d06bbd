"""All benchmarks in one run and one table.

Runs bench_tokenize.py, bench_encode.py and bench_decode.py one after the other, each in a
subprocess of its own with this interpreter (so that no run inherits another's heap), collects
the rows each writes with --json and prints one table: our time, the straightforward
implementation's (re.findall, "".join, plain_encoder.py, plain_decoder.py), a competent Python
user's where there is one (peer_encoder.py, peer_decoder.py), the fair floor where there is
one, the ratios, the peak memory of ours and of the straightforward implementation, and ours per
byte of input.

Every ratio is measured side by side within one script's run; the absolute times only show the
scale. The corpora are the interpreter's standard library, the Python documentation sources,
CJK documents, some 3,000 small documentation files and one 400 MB text file (corpus.py); what
cannot be had on the machine (not root, no apt) is left out.

With --switches-python (the interpreter of `make switches-build`, as `make bench` passes it),
bench_decode.py --fast-paths also runs with that build and a second table gives, per corpus,
how much slower the decoder is with each of its fast paths switched off alone.

Each script's own report goes to bench/results/<script>.txt and all rows to
bench/results/all.json.

Usage: python bench/run_all.py [--quick] [--corpus NAME]... [--no-memory]
                               [--json FILE] [--results DIR] [--switches-python PYTHON]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import corpus  # noqa: E402

# Rounds that keep the whole run at a few minutes on two cores while the medians stay steady.
SETTINGS = {
    "normal": {
        "bench_tokenize.py": ["--size", "6000000", "--repeats", "7", "--memory-size", "50000000"],
        "bench_encode.py": ["--rounds", "5", "--plain-rounds", "3"],
        "bench_decode.py": ["--rounds", "7", "--plain-rounds", "2"],
    },
    "quick": {
        "bench_tokenize.py": ["--size", "1000000", "--repeats", "3", "--memory-size", "10000000"],
        "bench_encode.py": ["--rounds", "3", "--plain-rounds", "1"],
        "bench_decode.py": ["--rounds", "3", "--plain-rounds", "1"],
    },
}
ENCODE_CORPORA = ["stdlib", "docs", "cjk", "smalldocs", "big"]
DECODE_CORPORA = ["stdlib", "docs", "cjk", "smalldocs"]

STRAIGHTFORWARD = {
    "tokenize": 're.findall(r"\\S+|\\s+")',
    "detokenize": '"".join',
    "encode_files": "bench/plain_encoder.py",
    "decode_package": "bench/plain_decoder.py",
}


def log(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


def run_script(script: str, arguments: list[str], results: str, env: dict,
               python: str = sys.executable, report_name: str | None = None) -> list[dict] | None:
    """Runs one benchmark script; returns its rows, or None when it failed."""
    report = os.path.join(results, report_name or script.replace(".py", ".txt"))
    with tempfile.NamedTemporaryFile(suffix=".json", delete=False) as f:
        json_path = f.name
    command = [python, os.path.join(HERE, script), *arguments, "--json", json_path]
    log(f"running {script} {' '.join(arguments)} ...")
    start = time.perf_counter()
    try:
        with open(report, "w", encoding="utf-8") as out:
            completed = subprocess.run(command, stdout=out, stderr=subprocess.PIPE, text=True,
                                       env=env)
        elapsed = time.perf_counter() - start
        if completed.returncode != 0:
            log(f"  {script} FAILED (exit {completed.returncode}) after {elapsed:.0f} s:")
            for line in completed.stderr.strip().splitlines()[-15:]:
                log(f"    {line}")
            return None
        if completed.stderr.strip():
            with open(report, "a", encoding="utf-8") as out:
                out.write("\n" + completed.stderr)
        log(f"  done in {elapsed:.0f} s, report in {shown(report)}")
        with open(json_path, encoding="utf-8") as f:
            return json.load(f)
    finally:
        os.unlink(json_path)


def shown(path: str) -> str:
    relative = os.path.relpath(path)
    return path if relative.startswith(os.pardir) else relative


def seconds(value: float | None) -> str:
    if value is None:
        return "-"
    if value < 1:
        return f"{value * 1e3:.1f} ms"
    return f"{value:.2f} s"


def ratio(value: float | None, digits: int = 2) -> str:
    return "-" if value is None else f"{value:.{digits}f}x"


def per_input(row: dict) -> str:
    value = row.get("peak_per_input_byte")
    return "-" if value is None else f"{value:.2f}"


def peaks(row: dict) -> str:
    ours, theirs = row.get("peak_ours_mib"), row.get("peak_straightforward_mib")
    if ours is None:
        return "-"
    if theirs is None:
        return f"{ours:.0f} / -"
    return f"{ours:.0f} / {theirs:.0f} ({ours / theirs:.2f})"


def target(row: dict) -> str:
    """The row's targets in one text: speed-up, cost over the floor, peak memory ratio."""
    clauses = [row["target"]] if row.get("target") else []
    if row.get("peak_target") and row.get("peak_ratio") is not None:
        clauses.append(f"peak {row['peak_target']}")
    if row.get("peak_per_input_target") and row.get("peak_per_input_byte") is not None:
        clauses.append(f"peak/input {row['peak_per_input_target']}")
    return ", ".join(clauses)


def verdict(row: dict) -> str:
    """Whether the row's ratios meet all its targets: "yes", "NO" or "-" when it has none."""
    text = target(row)
    if not text:
        return "-"
    met = True
    for clause in text.split(","):
        words = clause.split()
        if words[0] == "peak":
            value, (relation, bound) = row.get("peak_ratio"), words[1:3]
        elif words[0] == "peak/input":
            value, (relation, bound) = row.get("peak_per_input_byte"), words[1:3]
        elif words[-1] == "floor":
            value, (relation, bound) = row.get("over_floor"), words[:2]
        elif words[-1] == "peer":
            value, (relation, bound) = row.get("peer_speedup"), words[:2]
        else:
            value, (relation, bound) = row.get("speedup"), words[:2]
        bound = float(bound.rstrip("x"))
        met &= value is not None and (value >= bound if relation == ">=" else value <= bound)
    return "yes" if met else "NO"


def table(rows: list[dict]) -> str:
    header = ("operation", "corpus", "ours", "straightfwd", "peer", "floor", "str/ours",
              "peer/ours", "ours/floor", "target", "met", "peak MiB ours / str (ratio)",
              "peak/input")
    lines = [header]
    for row in rows:
        lines.append((
            row["operation"], row["corpus"], seconds(row["ours_s"]),
            seconds(row["straightforward_s"]), seconds(row.get("peer_s")),
            seconds(row["floor_s"]), ratio(row["speedup"]), ratio(row.get("peer_speedup")),
            ratio(row["over_floor"]), target(row) or "-", verdict(row), peaks(row),
            per_input(row),
        ))
    widths = [max(len(line[i]) for line in lines) for i in range(len(header))]
    right = {2, 3, 4, 5, 6, 7, 8, 12}
    out = []
    for index, line in enumerate(lines):
        cells = [cell.rjust(w) if i in right else cell.ljust(w)
                 for i, (cell, w) in enumerate(zip(line, widths))]
        out.append("  ".join(cells).rstrip())
        if index == 0:
            out.append("  ".join("-" * w for w in widths))
    return "\n".join(out)


def fast_path_table(rows: list[dict]) -> str:
    """Each fast path switched off against all on: median (range) of the per-round ratios."""
    paths = list(rows[0]["off_over_on"])
    header = ("operation", "corpus", "all on", *(f"{path} off / all on" for path in paths))
    lines = [header]
    for row in rows:
        cells = [row["operation"].split()[0], row["corpus"], seconds(row["all_on_s"])]
        for path in paths:
            low, high = row["off_over_on_range"][path]
            cells.append(f"{row['off_over_on'][path]:.3f} ({low:.3f}-{high:.3f})")
        lines.append(tuple(cells))
    widths = [max(len(line[i]) for line in lines) for i in range(len(header))]
    out = []
    for index, line in enumerate(lines):
        out.append("  ".join(cell.ljust(w) if i < 2 else cell.rjust(w)
                             for i, (cell, w) in enumerate(zip(line, widths))).rstrip())
        if index == 0:
            out.append("  ".join("-" * w for w in widths))
    return "\n".join(out)


def notes(rows: list[dict], docs_available: bool, mode: str) -> list[str]:
    found = []
    if not docs_available:
        found.append("The Python documentation sources could not be had on this machine: every "
                     "figure is on the standard library alone (the tokenizer's prose rows, "
                     "which would repeat its code rows, are left out).")
    found.append(f"Mode: {mode}. Straightforward implementations (str): "
                 + "; ".join(f"{op}: {name}" for op, name in STRAIGHTFORWARD.items())
                 + ". Competent Python peers: bench/peer_encoder.py, bench/peer_decoder.py. "
                 "Floors: the serial sum of the interpreter's own steps that no implementation "
                 "can skip (bench_encode.py and bench_decode.py say which).")
    timings = {}
    for row in rows:
        timings.setdefault(row["operation"], row.get("timing"))
    found.append("Times: " + "; ".join(f"{op} {t}" for op, t in timings.items() if t) + ".")
    sizes = [f"{row['corpus']} {row['peak_text_chars'] / 1e6:.1f}M"
             for row in rows if row["operation"] == "tokenize" and row.get("peak_text_chars")]
    if sizes:
        found.append("tokenize peaks: each contender alone in a fresh interpreter, growth of the "
                     "resident size during the call, on texts of " + ", ".join(sizes)
                     + " characters (the corpus repeated whole).")
    for row in rows:
        if row["operation"] != "encode_files":
            continue
        note = (f"encode_files {row['corpus']}: {row['files']} files, {row['input_mib']:.1f} MiB, "
                f"{row['tokens']:,} tokens, {row['distinct_tokens']:,} distinct, "
                f"packages identical to plain and peer: "
                f"{row['packages_identical']}; ")
        if "peak_learned_ours_mib" in row:
            note += (f"peak with a learned vocabulary {row['peak_learned_ours_mib']:.0f} / "
                     f"{row['peak_learned_straightforward_mib']:.0f} MiB "
                     f"({row['peak_learned_ratio']:.2f}, target {row['peak_target']}); ")
        note += f"package {row['package_over_input']:.3f} of the input."
        found.append(note)
    return found


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="fewer rounds and smaller texts (about a minute)")
    parser.add_argument("--corpus", action="append", choices=ENCODE_CORPORA,
                        help="corpora of the encode and decode benchmarks (default all; "
                        "--quick leaves out the big file)")
    parser.add_argument("--no-memory", action="store_true", help="skip the peak memory runs")
    parser.add_argument("--results", default=os.path.join(HERE, "results"),
                        help="directory of the scripts' reports (default bench/results)")
    parser.add_argument("--json", metavar="FILE",
                        help="where to write all rows (default RESULTS/all.json)")
    parser.add_argument("--switches-python", metavar="PYTHON",
                        help="the interpreter of `make switches-build`: also time each fast "
                        "path switched off alone")
    args = parser.parse_args()
    mode = "quick" if args.quick else "normal"
    os.makedirs(args.results, exist_ok=True)
    start = time.perf_counter()

    # Installing the documentation (when root) happens here once, before any timing.
    docs_available = corpus.python_docs() is not None
    env = dict(os.environ)
    corpora = args.corpus or [name for name in ENCODE_CORPORA
                              if not (args.quick and name == "big")]
    corpus.cjk_documents()
    if not docs_available:
        log("The Python documentation sources are not available: benchmarking without them.")
        env[corpus.NO_INSTALL_ENV] = "1"
        corpora = [name for name in corpora if name != "docs"] or ["stdlib"]
    if "big" in corpora:
        corpus.big_text_file()  # built once, before any timing

    rows, failed = [], []
    for script, arguments in SETTINGS[mode].items():
        arguments = list(arguments)
        if script != "bench_tokenize.py":
            for name in corpora:
                if script == "bench_encode.py" or name in DECODE_CORPORA:
                    arguments += ["--corpus", name]
        if args.no_memory:
            arguments.append("--no-memory")
        found = run_script(script, arguments, args.results, env)
        if found is None:
            failed.append(script)
            continue
        if not docs_available:
            found = [row for row in found if not row["corpus"].startswith("prose")]
        rows.extend(found)

    path_rows = []
    if args.switches_python:
        arguments = SETTINGS[mode]["bench_decode.py"][:2] + ["--fast-paths"]
        for name in corpora:
            if name in DECODE_CORPORA:
                arguments += ["--corpus", name]
        found = run_script("bench_decode.py", arguments, args.results, env,
                           python=args.switches_python, report_name="bench_decode_paths.txt")
        if found is None:
            failed.append("bench_decode.py --fast-paths")
        else:
            path_rows = found
            rows.extend(found)

    json_path = args.json or os.path.join(args.results, "all.json")
    with open(json_path, "w", encoding="utf-8") as f:
        json.dump(rows, f, indent=1)
    elapsed = time.perf_counter() - start

    print()
    print(table([row for row in rows if row not in path_rows]))
    print()
    if path_rows:
        print("Fast paths, each switched off alone (above 1: the path saves time):")
        print(fast_path_table(path_rows))
        print()
    for note in notes([row for row in rows if row not in path_rows], docs_available, mode):
        print(f"* {note}")
    print(f"* Whole run: {elapsed / 60:.1f} min. Reports of each script in "
          f"{shown(args.results)}/, all rows in {shown(json_path)}.")
    if failed:
        print(f"* FAILED: {', '.join(failed)} (see above)")
        sys.exit(1)


if __name__ == "__main__":
    main()
