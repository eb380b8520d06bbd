"""Whole real trees through `qvc pack` and `qvc unpack`, compared byte for byte afterwards.

Default trees: the interpreter's standard library and the system's documentation tree
(/usr/share/doc). Both hold files that are not UTF-8 text (compiled modules, compressed
changelogs), so they are packed with --skip-invalid; every entry qvc does not list as left out
must come back with the same bytes, mode and modification time, and every symlink with its
target. Prints the times and sizes of both steps.

Usage: python bench/roundtrip_trees.py [TREE...] [--keep DIR]
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tree_snapshot import snapshot  # noqa: E402

QVC = [sys.executable, "-m", "qvc_cli"]
LEFT_OUT = re.compile(r"^qvc pack: (?:skipped|skipping) (.*): (?:not UTF-8 text|a FIFO|a socket|"
                      r"a character device|a block device|a link back)")


def run(args: list[str]) -> tuple[subprocess.CompletedProcess, float]:
    started = time.perf_counter()
    result = subprocess.run([*QVC, *args], capture_output=True, text=True)
    return result, time.perf_counter() - started


def round_trip(tree: str, work: str) -> bool:
    package = os.path.join(work, os.path.basename(tree) + ".qvc")
    restored = os.path.join(work, "restored")
    packed, pack_seconds = run(["pack", package, tree, "--skip-invalid"])
    if packed.returncode != 0:
        print(f"{tree}: pack failed: {packed.stderr.strip()}")
        return False
    left_out = set()
    for line in packed.stderr.splitlines():
        match = LEFT_OUT.match(line)
        if match:
            left_out.add(match.group(1))
    unpacked, unpack_seconds = run(["unpack", package, "-o", restored])
    if unpacked.returncode != 0:
        print(f"{tree}: unpack failed: {unpacked.stderr.strip()}")
        return False
    original = snapshot(tree, frozenset(left_out))
    copy = snapshot(os.path.join(restored, os.path.basename(os.path.normpath(tree))))
    differing = sorted(path for path in original.keys() | copy.keys() if original.get(path) != copy.get(path))
    files = [entry for entry in original.values() if entry[0] == "file"]
    links = sum(entry[0] == "link" for entry in original.values())
    size = sum(len(entry[3]) for entry in files)
    package_size = os.path.getsize(package)
    print(f"{tree}: {len(files):,} files ({size / 2**20:.1f} MiB), {links:,} links, "
          f"{len(left_out):,} left out as not UTF-8 text or special")
    print(f"  pack   {pack_seconds:6.2f} s   package {package_size / 2**20:.1f} MiB "
          f"({package_size / size:.1%} of the text)")
    print(f"  unpack {unpack_seconds:6.2f} s   {unpacked.stdout.strip()}")
    verdict = "identical: contents, modes, times, links" if not differing else f"{len(differing)} entries differ"
    print(f"  compare {verdict}")
    for path in differing[:10]:
        print(f"    {path}: {str(original.get(path))[:80]} / {str(copy.get(path))[:80]}")
    shutil.rmtree(restored)
    os.unlink(package)
    return not differing


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("trees", nargs="*", default=[sysconfig.get_paths()["stdlib"], "/usr/share/doc"])
    args = parser.parse_args()
    ok = True
    for tree in args.trees:
        with tempfile.TemporaryDirectory(prefix="qvc_roundtrip_") as work:
            ok = round_trip(os.path.abspath(tree), work) and ok
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
