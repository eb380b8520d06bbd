"""The main job end to end: pack a few hundred source files of the interpreter's standard library
into one package, restore them with another compressor into a fresh directory, check every
restored file byte for byte, and compare the package with plain Zstandard at level 6."""

from __future__ import annotations

import os
import sys
import sysconfig
import tempfile
import time

import zstandard

import qvc_compressor

FILE_COUNT = 400


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


def timed(function, *args):
    start = time.perf_counter()
    result = function(*args)
    return result, time.perf_counter() - start


def main() -> int:
    files = corpus(FILE_COUNT)
    originals = {}
    for path in files:
        with open(path, "rb") as f:
            originals[os.path.basename(path)] = f.read()
    input_size = sum(len(data) for data in originals.values())

    with tempfile.TemporaryDirectory(prefix="qvc_demo_") as work:
        package = os.path.join(work, "stdlib.qvc")
        restored_dir = os.path.join(work, "restored")

        packer = qvc_compressor.QVCompressor(os.path.join(work, "packer_dict.bin"))
        stream_size, pack_time = timed(packer.encode_files, files, package)

        # Another object, with nothing but the package to go on.
        restorer = qvc_compressor.QVCompressor(os.path.join(work, "restorer_dict.bin"))
        names, restore_time = timed(restorer.decode_package, package, restored_dir)

        def verify() -> list[str]:
            differing = []
            for name, data in originals.items():
                with open(os.path.join(restored_dir, name), "rb") as f:
                    if f.read() != data:
                        differing.append(name)
            return differing

        differing, verify_time = timed(verify)
        package_size = os.path.getsize(package)

    joined = b"".join(originals.values())
    plain, plain_time = timed(zstandard.ZstdCompressor(level=6).compress, joined)

    print(f"corpus            {len(files)} files of the standard library, {input_size:,} bytes")
    print(f"vocabulary        {len(packer.global_dict):,} tokens")
    print(f"pack              {pack_time * 1e3:8.1f} ms  package {package_size:,} bytes "
          f"(token stream {stream_size:,}), {package_size / input_size:.1%} of the input")
    print(f"restore           {restore_time * 1e3:8.1f} ms  "
          f"{len(names)} files into a fresh directory")
    print(f"verify            {verify_time * 1e3:8.1f} ms  "
          + ("every file identical byte for byte" if not differing else f"{len(differing)} differ"))
    print(f"plain zstd -6     {plain_time * 1e3:8.1f} ms  {len(plain):,} bytes "
          f"({len(plain) / input_size:.1%} of the input, the files concatenated)")
    if differing or len(names) != len(files):
        print("restored files differ: " + ", ".join(differing[:10]), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
