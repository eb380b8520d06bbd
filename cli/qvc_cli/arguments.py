"""The command line's arguments and its manual: `qvc --help` and `qvc COMMAND --help`.

Every value is checked here, while the arguments are parsed, so that a usage error exits with
status 2 before any file is read.
"""

from __future__ import annotations

import argparse
import textwrap

MAX_THREADS = 256

EXIT_STATUS = """\
exit status:
  0    success
  1    an expected failure, said in one line on standard error naming the file and what is
       wrong (for check: a damaged package)
  2    a usage error, found before anything is read; for pack also: some inputs could not
       be read and were left out, as listed (as tar does; --strict stops at the first)
  130  interrupted (Ctrl-C); 143 terminated; nothing is left half written
  141  standard output was closed by its reader (as `qvc info p.qvc | head -1` does); qvc
       ends quietly, by SIGPIPE, as cat and ls do, after cleaning up"""


def _manual(text: str) -> str:
    return textwrap.dedent(text).strip("\n")


def zstd_levels() -> tuple[int, int]:
    """The compression levels the Zstandard library accepts: up to its maximum level, and down
    to the negative of its largest target length, which is how the library bounds its fast
    levels."""
    import zstandard

    return -zstandard.TARGETLENGTH_MAX, zstandard.MAX_COMPRESSION_LEVEL


def _integer(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None


def level(text: str) -> int:
    value = _integer(text)
    low, high = zstd_levels()
    if not low <= value <= high:
        raise argparse.ArgumentTypeError(f"{value} is outside {low}..{high}, the levels Zstandard accepts")
    return value


def threads(text: str) -> int:
    value = _integer(text)
    if not 0 <= value <= MAX_THREADS:
        raise argparse.ArgumentTypeError(f"{value} is outside 0..{MAX_THREADS}")
    return value


def stored_name(text: str) -> str:
    """A name for standard input's text in the package: one file name."""
    if not text or text in (".", "..") or "/" in text or "\0" in text or len(text.encode("utf-8", "surrogateescape")) > 255:
        raise argparse.ArgumentTypeError(f"{text!r} is not a file name (one path component, at most 255 bytes)")
    return text


def positive(text: str) -> int:
    value = _integer(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"{value} is not 1 or more")
    return value


def byte_size(text: str) -> int:
    """A size such as 500000, 64M or 1GiB, read as Dask reads sizes."""
    from dask.utils import parse_bytes

    try:
        value = parse_bytes(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a size (such as 64M or 1GiB)") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text!r} is not a size of 1 byte or more")
    return value


class _Version(argparse.Action):
    """--version, looked up only when asked for: reading installed metadata costs start-up time."""

    def __init__(self, option_strings, dest=argparse.SUPPRESS, default=argparse.SUPPRESS, help=None):
        super().__init__(option_strings, dest=dest, default=default, nargs=0, help=help)

    def __call__(self, parser, namespace, values, option_string=None):
        from importlib import metadata

        print(f"{parser.prog} {metadata.version('qvc_compressor')}")
        parser.exit()


def _common(parser: argparse.ArgumentParser) -> None:
    talk = parser.add_mutually_exclusive_group()
    talk.add_argument("-q", "--quiet", action="store_true",
                      help="say nothing on success: no summary, no progress bar")
    talk.add_argument("-v", "--verbose", action="store_true", help="list each file")


def _command(commands, name: str, summary: str, manual: str, examples: str,
             talk: bool = True) -> argparse.ArgumentParser:
    parser = commands.add_parser(
        name, help=summary, description=_manual(manual),
        epilog=_manual(examples) + "\n\n" + EXIT_STATUS,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    if talk:
        _common(parser)
    # A usage error found once parsing is over is shown with this subcommand's usage.
    parser.set_defaults(parser=parser)
    return parser


def build_parser(run) -> argparse.ArgumentParser:
    """The parser; `run(name)` gives the function that runs subcommand `name`."""
    parser = argparse.ArgumentParser(
        prog="qvc", formatter_class=argparse.RawDescriptionHelpFormatter,
        description=_manual("""
            qvc packs UTF-8 text files and directory trees into one package: the text split into
            words and whitespace, each mapped to a number through a vocabulary that travels in
            the package, the numbers compressed with Zstandard. Restores are exact and verified:
            paths, modes, times, line ends and links, every file checked against its SHA-256
            digest before it is put in place. Nothing is ever overwritten unasked.
            """),
        epilog=_manual("""
            examples:
              qvc pack notes.qvc ~/notes         pack a tree
              qvc info notes.qvc                 list what it holds
              qvc unpack notes.qvc -o restored   restore it
              qvc COMMAND --help                 the manual of one command
            """) + "\n\n" + EXIT_STATUS)
    parser.add_argument("--version", action=_Version, help="print the version and exit")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    pack = _command(
        commands, "pack", "pack text files and directory trees into one package",
        """
        Pack UTF-8 text files, and the trees under directories, into one package. Each file
        keeps its path relative to the argument it came from (a directory argument's own name
        included, as tar stores it), its mode, modification time, line ends and a SHA-256
        digest; symlinks are stored as links. OUTPUT is written under its name only once it is
        complete, and never replaces an input.

        OUTPUT - writes the package to standard output (never to a terminal). A PATH of - reads
        one text from standard input, stored under --name.
        """,
        """
        examples:
          qvc pack notes.qvc ~/notes               the tree, stored as notes/...
          qvc pack -f notes.qvc ~/notes            replace notes.qvc if it exists
          qvc pack logs.qvc logs --skip-invalid    leave out files that are not UTF-8, listed
          qvc pack day.qvc a.txt b.txt --dict shared.dict
                                                   ids from (and new ids saved to) shared.dict
          qvc pack - ~/notes | ssh host 'cat > notes.qvc'
                                                   the package to standard output
          some-command | qvc pack out.qvc - --name report.txt
                                                   standard input, stored as report.txt
        """)
    pack.add_argument("output", metavar="OUTPUT", help="package file to write, or - for standard output")
    pack.add_argument("paths", metavar="PATH", nargs="+",
                      help="files, or directories to walk; - for standard input")
    pack.add_argument("--dict", metavar="FILE",
                      help="dictionary file to start from and save to, locked for the run "
                           "(default: a fresh vocabulary, nothing saved)")
    pack.add_argument("--level", type=level, default=6, metavar="N",
                      help="Zstandard level, from the library's fastest negative level to its "
                           "highest (default 6)")
    pack.add_argument("--threads", type=threads, default=4, metavar="N",
                      help=f"Zstandard worker threads, 0 to {MAX_THREADS} (default 4)")
    pack.add_argument("--name", type=stored_name, default="stdin", metavar="NAME",
                      help="the file name standard input's text is stored under (default stdin)")
    pack.add_argument("-f", "--force", action="store_true", help="replace OUTPUT if it exists")
    pack.add_argument("--skip-invalid", action="store_true",
                      help="leave out files that are not UTF-8 text, listing them, instead of refusing")
    pack.add_argument("-L", "--dereference", action="store_true",
                      help="pack what symlinks point to instead of the links; a link that "
                           "loops is left out, listed")
    pack.add_argument("--exclude", action="append", default=[], metavar="GLOB",
                      help="leave out entries whose path, or any final part of it, matches "
                           "GLOB (* matches / too); a directory left out takes everything "
                           "below it; may be repeated")
    pack.add_argument("--strict", action="store_true",
                      help="stop at the first input that cannot be read, instead of leaving it "
                           "out, listed, and ending with status 2")
    pack.set_defaults(run=run("pack"))

    unpack = _command(
        commands, "unpack", "restore the files of a package",
        """
        Restore the files of a package into a directory, each checked against its digest before
        any is put in place. With NAMEs or GLOBs, only the stored paths they match are restored
        (a directory's name takes everything below it; * matches / too); one that matches
        nothing is an error, and then nothing is restored. Existing files are left alone unless
        --force; a symlink in the directory is never followed.

        PACKAGE - reads the package from standard input and restores into the current
        directory unless -o says otherwise. -c writes the text of the matching files to
        standard output instead, exactly as packed, after checking their digests.
        """,
        """
        examples:
          qvc unpack notes.qvc                     into ./notes (must not exist, or be empty)
          qvc unpack notes.qvc -o ~/restored       into ~/restored
          qvc unpack notes.qvc notes/todo.txt 'notes/*.md'
                                                   only these files
          qvc unpack notes.qvc -c notes/todo.txt   one file's text to standard output
          ssh host 'cat notes.qvc' | qvc unpack - -o restored
                                                   a package from standard input
        """)
    unpack.add_argument("package", metavar="PACKAGE", help="package file, or - for standard input")
    unpack.add_argument("patterns", metavar="NAME", nargs="*", default=[],
                        help="stored paths or globs to restore (default: everything)")
    where = unpack.add_mutually_exclusive_group()
    where.add_argument("-o", "--output", metavar="DIR",
                       help="directory to restore into (default: a new directory named after the package)")
    unpack.add_argument("-f", "--force", action="store_true",
                        help="replace existing files (and symlinks) where the package has files")
    where.add_argument("-c", "--stdout", action="store_true",
                       help="write the text of the matching files to standard output")
    unpack.set_defaults(run=run("unpack"))

    check = _command(
        commands, "check", "verify a package without restoring it",
        """
        Decode every file of a package and compare it with its digest, like gzip -t, writing
        nothing anywhere. Exit status 0: intact; 1: damaged, naming the damaged files. Data
        after the package's end, which no reader takes for part of it, is warned about.
        """,
        """
        examples:
          qvc check notes.qvc
          ssh host 'cat notes.qvc' | qvc check -
        """)
    check.add_argument("package", metavar="PACKAGE", help="package file, or - for standard input")
    check.set_defaults(run=run("check"))

    for name, summary in (("info", "list what a package holds, without restoring it"), ("list", "the same as info")):
        _info_command(commands, name, summary, run)

    shards = _command(
        commands, "pack-shards", "pack a corpus into several packages on a Dask cluster",
        """
        Pack files and directory trees, walked as pack walks them, into OUTDIR/part-00000.qvc,
        part-00001.qvc and on: the walk's order cut into runs of files, each run a package that
        pack would write for it, its directories included, packed on a Dask cluster. Token ids
        are those of packing the parts one after the other with one vocabulary (--dict: starting
        from that dictionary file, which is saved at the end). Nothing is put in place until
        every part is done.

        Without --scheduler, a local cluster of one worker process per processor. With it, the
        scheduler's workers read the inputs and write the parts themselves: they must reach the
        inputs, OUTDIR and this machine's paths on storage they share. Workers need qvc-cli
        installed with its cluster extra (pip install 'qvc-cli[cluster]').
        """,
        """
        examples:
          qvc pack-shards parts ~/corpus --shards 64
                                                   64 parts of about equal size
          qvc pack-shards parts ~/corpus --shard-size 1G --dict corpus.dict
                                                   parts of at most 1 GB of text (a larger file
                                                   alone), ids from and saved to corpus.dict
          qvc pack-shards parts /shared/corpus --scheduler tcp://10.0.0.5:8786
                                                   on a running cluster
        """)
    shards.add_argument("outdir", metavar="OUTDIR", help="directory for the parts, made if missing")
    shards.add_argument("paths", metavar="PATH", nargs="+", help="files, or directories to walk")
    how = shards.add_mutually_exclusive_group()
    how.add_argument("--shards", type=positive, metavar="N",
                     help="that many parts of about equal size (fewer only with fewer files)")
    how.add_argument("--shard-size", type=byte_size, metavar="SIZE",
                     help="a new part where the next file would pass SIZE bytes, as in 64M or 1GiB "
                          "(default 256M)")
    shards.add_argument("--dict", metavar="FILE",
                        help="dictionary file to start from and save to, locked for the run "
                             "(default: a fresh vocabulary, nothing saved)")
    shards.add_argument("--scheduler", metavar="ADDRESS",
                        help="a running Dask scheduler, as tcp://HOST:8786 (default: a local cluster)")
    shards.add_argument("--level", type=level, default=6, metavar="N", help="Zstandard level (default 6)")
    shards.add_argument("--threads", type=threads, default=4, metavar="N",
                        help=f"Zstandard worker threads per part, 0 to {MAX_THREADS} (default 4)")
    shards.add_argument("-f", "--force", action="store_true", help="replace parts that exist")
    shards.set_defaults(run=run("pack-shards"))
    return parser


def _info_command(commands, name: str, summary: str, run) -> None:
    info = _command(
        commands, name, summary,
        """
        List what a package holds, one line per entry: mode, size in bytes, modification time,
        number of tokens and path; then the totals, the vocabulary's size and its share of the
        package, and the compressed stream's size. A package written by the library alone has
        no manifest: its files are listed by their stored names only. Nothing is decompressed or
        written. `qvc info` and `qvc list` are one command.

        In --json, "path" is text (a byte that is not UTF-8 shows as U+FFFD); "path_bytes" is
        the stored path exactly, in base64, to feed back to `qvc unpack` as a NAME (decoded
        with `base64 -d`, as in the last example).
        """,
        """
        examples:
          qvc info notes.qvc
          qvc list notes.qvc --json | jq '.entries[].path'
          ssh host 'cat notes.qvc' | qvc info -
          qvc unpack notes.qvc "$(qvc info notes.qvc --json | jq -r '.entries[0].path_bytes' | base64 -d)"
        """, talk=False)
    info.add_argument("package", metavar="PACKAGE", help="package file, or - for standard input")
    info.add_argument("--json", action="store_true", help="one JSON document, for scripts")
    info.set_defaults(run=run("info"))
