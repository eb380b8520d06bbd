"""qvc pack | unpack | info."""

from __future__ import annotations

import argparse
import os
import pickle
import sys
import time
from importlib import metadata

import zstandard

from qvc_cli.package_reader import PackageError, read_package
from qvc_compressor import QVCompressor


class UsageProblem(Exception):
    """An expected failure: reported in one line, exit status 1."""


def fresh_compressor() -> QVCompressor:
    """A compressor with an empty vocabulary that reads and writes no dictionary file."""
    compressor = QVCompressor.__new__(QVCompressor)
    compressor.global_dict = {}
    compressor.inverse_dict = {}
    compressor.next_id = 1
    return compressor


def collect_inputs(paths: list[str]) -> list[str]:
    """Files as given, and the files under directories, sorted by their path within it."""
    files: list[str] = []
    for path in paths:
        if os.path.isdir(path):
            found = []
            for directory, _, names in os.walk(path):
                found.extend(os.path.relpath(os.path.join(directory, name), path) for name in names)
            files.extend(os.path.join(path, relative) for relative in sorted(found))
        elif os.path.exists(path):
            files.append(path)
        else:
            raise UsageProblem(f"no such file or directory: {path}")
    return files


def refuse_base_name_clashes(files: list[str]) -> None:
    """A package keeps base names only: two inputs with one base name would overwrite each other."""
    by_name: dict[str, list[str]] = {}
    for path in files:
        by_name.setdefault(os.path.basename(path), []).append(path)
    clashes = {name: paths for name, paths in by_name.items() if len(paths) > 1}
    if clashes:
        listed = "; ".join(f"{name}: {', '.join(paths)}" for name, paths in sorted(clashes.items()))
        raise UsageProblem(f"inputs share base names, which a package cannot tell apart ({listed})")


def run_pack(args: argparse.Namespace) -> int:
    files = collect_inputs(args.paths)
    refuse_base_name_clashes(files)
    compressor = QVCompressor(args.dict) if args.dict else fresh_compressor()
    known = len(compressor.global_dict)
    started = time.perf_counter()
    compressor.encode_files(files, args.output, args.level, args.threads)
    if args.dict:
        compressor.save_dict()
    seconds = time.perf_counter() - started
    input_bytes = sum(os.path.getsize(f) for f in files)
    package_bytes = os.path.getsize(args.output)
    ratio = package_bytes / input_bytes if input_bytes else 0.0
    vocabulary = len(compressor.global_dict)
    print(
        f"packed {len(files)} files, {input_bytes:,} bytes -> {package_bytes:,} bytes "
        f"({ratio:.1%}), vocabulary {vocabulary:,} tokens ({vocabulary - known:,} new), "
        f"{seconds:.2f} s"
    )
    return 0


def default_output_dir(package: str) -> str:
    stem, extension = os.path.splitext(os.path.basename(package))
    return stem if extension and stem else os.path.basename(package) + ".files"


def run_unpack(args: argparse.Namespace) -> int:
    output = args.output or default_output_dir(args.package)
    if not os.path.isfile(args.package):
        raise UsageProblem(f"no such package: {args.package}")
    started = time.perf_counter()
    names = fresh_compressor().decode_package(args.package, output)
    seconds = time.perf_counter() - started
    print(f"restored {len(names)} files into {output}, {seconds:.2f} s")
    return 0


def run_info(args: argparse.Namespace) -> int:
    summary = read_package(args.package)
    print(f"files: {len(summary.filenames)}")
    for name, count in zip(summary.filenames, summary.token_counts):
        print(f"  {name}\t{count:,} tokens")
    print(f"vocabulary: {summary.vocabulary_size:,} tokens")
    stream = "unknown" if summary.stream_size is None else f"{summary.stream_size:,}"
    print(f"stream: {summary.compressed_size:,} bytes compressed, {stream} bytes decompressed")
    return 0


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="qvc", description="Word-level text compressor.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {metadata.version('qvc_compressor')}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    pack = commands.add_parser("pack", help="pack text files into one package",
                               description="Pack UTF-8 text files into one package.")
    pack.add_argument("output", metavar="OUTPUT", help="package file to write")
    pack.add_argument("paths", metavar="PATH", nargs="+", help="files, or directories to walk")
    pack.add_argument("--dict", metavar="FILE",
                      help="dictionary file to start from and save to (default: a fresh vocabulary, nothing saved)")
    pack.add_argument("--level", type=int, default=6, help="Zstandard level (default 6)")
    pack.add_argument("--threads", type=int, default=4, help="Zstandard worker threads (default 4)")
    pack.set_defaults(run=run_pack)

    unpack = commands.add_parser("unpack", help="restore the files of a package",
                                 description="Restore the files of a package into a directory.")
    unpack.add_argument("package", metavar="PACKAGE")
    unpack.add_argument("-o", "--output", metavar="DIR",
                        help="directory to restore into (default: named after the package)")
    unpack.set_defaults(run=run_unpack)

    info = commands.add_parser("info", help="describe a package without restoring it",
                               description="Describe a package without restoring it.")
    info.add_argument("package", metavar="PACKAGE")
    info.set_defaults(run=run_info)
    return parser


def describe(error: BaseException) -> str:
    if isinstance(error, OSError) and error.filename is not None:
        return f"{error.strerror or error}: {error.filename}"
    if isinstance(error, UnicodeDecodeError):
        return f"not valid UTF-8 text: {error}"
    return str(error) or type(error).__name__


EXPECTED_FAILURES = (
    UsageProblem, PackageError, OSError, ValueError, TypeError, KeyError, AttributeError,
    OverflowError, EOFError, pickle.UnpicklingError, zstandard.ZstdError,
)


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return args.run(args)
    except EXPECTED_FAILURES as error:
        print(f"qvc {args.command}: {describe(error)}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
