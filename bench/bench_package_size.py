"""What a package weighs beside plain Zstandard, on real corpora.

For each corpus the files are packed by `qvc pack` and, for comparison, concatenated and
compressed by Zstandard at the same level (as `tar c | zstd -6` would, less tar's headers).
Printed: the text's size, the package's, the vocabulary's share of it (as `qvc info` gives
it), the compressed token stream alone, and plain Zstandard's size.

Usage: python bench/bench_package_size.py [--level N]
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile

import zstandard

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, os.pardir, "tests"))

import corpus  # noqa: E402
from cli_support import QVC  # noqa: E402


def measure(name: str, files: list[str], level: int, work: str) -> None:
    tree = os.path.join(work, name)
    common = os.path.commonpath(files)
    for path in files:
        target = os.path.join(tree, os.path.relpath(path, common))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy2(path, target)
    package = os.path.join(work, f"{name}.qvc")
    subprocess.run([*QVC, "pack", "-q", package, tree, "--level", str(level)], check=True)
    info = json.loads(subprocess.run([*QVC, "info", "--json", package], capture_output=True, check=True).stdout)
    text = b"".join(open(path, "rb").read() for path in files)
    plain = len(zstandard.ZstdCompressor(level=level).compress(text))
    vocabulary = info["vocabulary"]
    print(f"{name}: {len(files):,} files, {len(text) / 2**20:.1f} MiB of text; package "
          f"{info['package_bytes'] / 2**20:.1f} MiB, vocabulary {vocabulary['entries']:,} tokens = "
          f"{vocabulary['share']:.0%} of it, token stream {info['stream']['compressed_bytes'] / 2**20:.1f} MiB; "
          f"plain Zstandard {plain / 2**20:.1f} MiB")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--level", type=int, default=6)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="qvc-size-") as work:
        measure("stdlib", corpus.utf8_files(corpus.stdlib_sources()), args.level, work)
        docs = corpus.python_docs(install=False)
        if docs:
            measure("docs", corpus.utf8_files(docs), args.level, work)


if __name__ == "__main__":
    main()
