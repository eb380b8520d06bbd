"""The main job end to end, as a user runs it: `qvc pack` a few hundred source files of the
interpreter's standard library into one package, `qvc info` it, `qvc unpack` it into a fresh
directory, check every restored file byte for byte, and compare the package with plain
Zstandard at level 6."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time

import zstandard

FILE_COUNT = 400
QVC = shutil.which("qvc", path=os.path.dirname(sys.executable)) or "qvc"


def corpus(count: int) -> list[str]:
    """Standard library .py files that a text-mode read returns unchanged (UTF-8, no carriage
    returns) and whose names differ, so that each one is restored to a file of its own."""
    root = sysconfig.get_paths()["stdlib"]
    chosen, names = [], set()
    for directory, subdirs, files in os.walk(root):
        subdirs[:] = sorted(d for d in subdirs if d not in ("site-packages", "__pycache__"))
        for name in sorted(files):
            if not name.endswith(".py") or name in names:
                continue
            path = os.path.join(directory, name)
            with open(path, "rb") as f:
                data = f.read()
            try:
                data.decode("utf-8")
            except UnicodeDecodeError:
                continue
            if b"\r" in data:
                continue
            chosen.append(path)
            names.add(name)
            if len(chosen) == count:
                return chosen
    return chosen


def run(*args: str) -> tuple[str, float]:
    start = time.perf_counter()
    result = subprocess.run([QVC, *args], capture_output=True, text=True)
    elapsed = time.perf_counter() - start
    if result.returncode != 0:
        sys.exit(f"qvc {' '.join(args)} failed:\n{result.stderr}")
    return result.stdout.strip(), elapsed


def main() -> int:
    with tempfile.TemporaryDirectory(prefix="qvc_demo_") as work:
        inputs = os.path.join(work, "stdlib")
        os.mkdir(inputs)
        for path in corpus(FILE_COUNT):
            shutil.copyfile(path, os.path.join(inputs, os.path.basename(path)))
        originals = {}
        for name in sorted(os.listdir(inputs)):
            with open(os.path.join(inputs, name), "rb") as f:
                originals[name] = f.read()
        input_size = sum(len(data) for data in originals.values())
        package = os.path.join(work, "stdlib.qvc")
        restored = os.path.join(work, "restored")
        print(f"corpus     {len(originals)} files of the standard library, {input_size:,} bytes")

        packed, pack_time = run("pack", package, inputs)
        print(f"$ qvc pack stdlib.qvc stdlib/                       ({pack_time * 1e3:.0f} ms)\n  {packed}")
        info, info_time = run("info", package)
        lines = info.splitlines()
        shown = lines[:4] + ["  ..."] + lines[-2:]
        print(f"$ qvc info stdlib.qvc                               ({info_time * 1e3:.0f} ms)")
        print("\n".join("  " + line for line in shown))
        unpacked, unpack_time = run("unpack", package, "-o", restored)
        print(f"$ qvc unpack stdlib.qvc -o restored                 ({unpack_time * 1e3:.0f} ms)\n  {unpacked}")

        start = time.perf_counter()
        differing = []
        for name, data in originals.items():
            with open(os.path.join(restored, name), "rb") as f:
                if f.read() != data:
                    differing.append(name)
        extra = set(os.listdir(restored)) - set(originals)
        verify_time = time.perf_counter() - start
        package_size = os.path.getsize(package)

    start = time.perf_counter()
    plain = zstandard.ZstdCompressor(level=6).compress(b"".join(originals.values()))
    plain_time = time.perf_counter() - start
    verdict = "every file identical byte for byte" if not differing and not extra else (
        f"{len(differing)} differ, {len(extra)} unexpected")
    print(f"verify     {verdict} ({verify_time * 1e3:.0f} ms)")
    print(f"sizes      input {input_size:,} bytes, package {package_size:,} bytes "
          f"({package_size / input_size:.1%}), plain zstd -6 of the files concatenated "
          f"{len(plain):,} bytes ({len(plain) / input_size:.1%}, {plain_time * 1e3:.0f} ms)")
    return 1 if differing or extra else 0


if __name__ == "__main__":
    sys.exit(main())
