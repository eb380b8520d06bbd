"""The main job end to end, as a user runs it: `qvc pack` a tree of a few hundred source files
of the interpreter's standard library (with its subdirectories, so that names like
`__init__.py` repeat) into one package, `qvc info` and `qvc check` it, `qvc unpack` it into a
fresh directory, compare every restored file byte for byte, with its mode and modification time,
and compare the package with plain Zstandard at level 6."""

from __future__ import annotations

import os
import shutil
import stat
import subprocess
import sys
import sysconfig
import tempfile
import time

import zstandard

FILE_COUNT = 400
QVC = shutil.which("qvc", path=os.path.dirname(sys.executable)) or "qvc"


def corpus(count: int) -> list[str]:
    """Standard library .py files that are UTF-8 text, paths relative to the library."""
    root = sysconfig.get_paths()["stdlib"]
    chosen = []
    for directory, subdirs, files in os.walk(root):
        subdirs[:] = sorted(d for d in subdirs if d not in ("site-packages", "__pycache__"))
        for name in sorted(files):
            if not name.endswith(".py"):
                continue
            path = os.path.join(directory, name)
            with open(path, "rb") as f:
                data = f.read()
            try:
                data.decode("utf-8")
            except UnicodeDecodeError:
                continue
            chosen.append(os.path.relpath(path, root))
            if len(chosen) == count:
                return chosen
    return chosen


def entry(path: str) -> tuple:
    info = os.lstat(path)
    with open(path, "rb") as f:
        return f.read(), stat.S_IMODE(info.st_mode), info.st_mtime_ns


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
        root = sysconfig.get_paths()["stdlib"]
        for relative in corpus(FILE_COUNT):
            os.makedirs(os.path.dirname(os.path.join(inputs, relative)), exist_ok=True)
            shutil.copy2(os.path.join(root, relative), os.path.join(inputs, relative))
        originals = {}
        for directory, _, files in os.walk(inputs):
            for name in files:
                path = os.path.join(directory, name)
                originals[os.path.relpath(path, work)] = entry(path)
        input_size = sum(len(data) for data, _, _ in originals.values())
        repeated = len(originals) - len({os.path.basename(path) for path in originals})
        package = os.path.join(work, "stdlib.qvc")
        restored = os.path.join(work, "restored")
        print(f"corpus     {len(originals)} files of the standard library in a tree, {input_size:,} bytes; "
              f"{repeated} of them share a base name with another")

        packed, pack_time = run("pack", package, inputs)
        print(f"$ qvc pack stdlib.qvc stdlib/                       ({pack_time * 1e3:.0f} ms)\n  {packed}")
        info, info_time = run("info", package)
        lines = info.splitlines()
        shown = lines[:4] + ["  ..."] + lines[-2:]
        print(f"$ qvc info stdlib.qvc                               ({info_time * 1e3:.0f} ms)")
        print("\n".join("  " + line for line in shown))
        checked, check_time = run("check", package)
        print(f"$ qvc check stdlib.qvc                              ({check_time * 1e3:.0f} ms)\n  {checked}")
        unpacked, unpack_time = run("unpack", package, "-o", restored)
        print(f"$ qvc unpack stdlib.qvc -o restored                 ({unpack_time * 1e3:.0f} ms)\n  {unpacked}")

        start = time.perf_counter()
        differing = [path for path, expected in originals.items()
                     if entry(os.path.join(restored, path)) != expected]
        found = {os.path.relpath(os.path.join(directory, name), restored)
                 for directory, _, files in os.walk(restored) for name in files}
        extra = found - set(originals)
        verify_time = time.perf_counter() - start
        package_size = os.path.getsize(package)

    start = time.perf_counter()
    plain = zstandard.ZstdCompressor(level=6).compress(b"".join(data for data, _, _ in originals.values()))
    plain_time = time.perf_counter() - start
    verdict = "every file identical byte for byte, with its mode and time" if not differing and not extra else (
        f"{len(differing)} differ, {len(extra)} unexpected")
    print(f"verify     {verdict} ({verify_time * 1e3:.0f} ms)")
    print(f"sizes      input {input_size:,} bytes, package {package_size:,} bytes "
          f"({package_size / input_size:.1%}), plain zstd -6 of the files concatenated "
          f"{len(plain):,} bytes ({len(plain) / input_size:.1%}, {plain_time * 1e3:.0f} ms)")
    return 1 if differing or extra else 0


if __name__ == "__main__":
    sys.exit(main())
