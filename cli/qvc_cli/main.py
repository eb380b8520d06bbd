"""qvc pack | unpack | check | info."""

from __future__ import annotations

import argparse
import pickle
import sys
from importlib import metadata

import zstandard

from qvc_cli.failures import Failure
from qvc_cli.package_reader import PackageError, read_package
from qvc_cli.packing import run_pack
from qvc_cli.restoring import run_check, run_unpack
from qvc_cli.staging import exit_cleanly_on_termination


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

    pack = commands.add_parser(
        "pack", help="pack text files and directory trees into one package",
        description="Pack UTF-8 text files, and the trees under directories, into one package. "
                    "Each file keeps its path relative to the argument it came from (a directory "
                    "argument's own name included), its mode, modification time, line ends and a "
                    "SHA-256 digest. OUTPUT is written only once complete.")
    pack.add_argument("output", metavar="OUTPUT", help="package file to write (never an input)")
    pack.add_argument("paths", metavar="PATH", nargs="+", help="files, or directories to walk")
    pack.add_argument("--dict", metavar="FILE",
                      help="dictionary file to start from and save to, locked for the run "
                           "(default: a fresh vocabulary, nothing saved)")
    pack.add_argument("--level", type=int, default=6, help="Zstandard level (default 6)")
    pack.add_argument("--threads", type=int, default=4, help="Zstandard worker threads (default 4)")
    pack.add_argument("-f", "--force", action="store_true", help="replace OUTPUT if it exists")
    pack.add_argument("--skip-invalid", action="store_true",
                      help="leave out files that are not UTF-8 text, listing them, instead of refusing")
    pack.add_argument("-L", "--dereference", action="store_true",
                      help="pack what symlinks point to instead of the links")
    pack.set_defaults(run=run_pack)

    unpack = commands.add_parser(
        "unpack", help="restore the files of a package",
        description="Restore the files of a package into a directory, each checked against its "
                    "digest before any is put in place. Existing files are left alone unless "
                    "--force; a symlink in the directory is never followed.")
    unpack.add_argument("package", metavar="PACKAGE")
    unpack.add_argument("-o", "--output", metavar="DIR",
                        help="directory to restore into (default: a new directory named after the package)")
    unpack.add_argument("-f", "--force", action="store_true",
                        help="replace existing files (and symlinks) where the package has files")
    unpack.set_defaults(run=run_unpack)

    check = commands.add_parser(
        "check", help="verify a package without restoring it",
        description="Decode a package into a temporary directory and compare every file with its "
                    "digest. Exit status 0: intact; 1: damaged.")
    check.add_argument("package", metavar="PACKAGE")
    check.set_defaults(run=run_check)

    info = commands.add_parser("info", help="describe a package without restoring it",
                               description="Describe a package without restoring it.")
    info.add_argument("package", metavar="PACKAGE")
    info.set_defaults(run=run_info)
    return parser


def describe(error: BaseException) -> str:
    if isinstance(error, OSError) and error.filename is not None:
        return f"{error.filename}: {error.strerror or error}"
    if isinstance(error, UnicodeDecodeError):
        return f"not valid UTF-8 text: {error}"
    return str(error) or type(error).__name__


EXPECTED_FAILURES = (
    Failure, PackageError, OSError, ValueError, TypeError, KeyError, AttributeError,
    OverflowError, EOFError, pickle.UnpicklingError, zstandard.ZstdError,
)


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    exit_cleanly_on_termination()
    try:
        return args.run(args)
    except EXPECTED_FAILURES as error:
        print(f"qvc {args.command}: {describe(error)}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"qvc {args.command}: interrupted; nothing left half written", file=sys.stderr)
        return 130
