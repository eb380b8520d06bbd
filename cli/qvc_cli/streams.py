"""Standard input and output as the package or text a subcommand reads or writes (`-`).

The library reads and writes files by path, so a package arriving on standard input is kept in
a private file first, and a package for standard output is written in full to a private file
and then copied out.
"""

from __future__ import annotations

import contextlib
import os
import sys
import tempfile

from qvc_cli.failures import Failure
from qvc_cli.progress import Phase, Progress, bytes_read
from qvc_cli.staging import private_directory

STANDARD_INPUT = "standard input"
STANDARD_OUTPUT = "standard output"
PIECE = 1 << 20


def temporary_directory_named(directory: str) -> str:
    """How messages name a directory where qvc keeps its work: the temporary directory is
    named as such, with how to choose another, so that a full disk there is not taken for the
    user's file."""
    if directory == tempfile.gettempdir():
        return f"{directory} (the temporary directory; TMPDIR chooses another)"
    return directory


def _is_terminal(stream) -> bool:
    try:
        return os.isatty(stream.fileno())
    except (AttributeError, ValueError, OSError):
        return False


def refuse_terminal_output(what: str) -> None:
    """Binary data is never written to a terminal, where it would be lost and garble it."""
    if _is_terminal(sys.stdout):
        raise Failure(f"{STANDARD_OUTPUT}: is a terminal; {what} is written there only when redirected "
                      "to a file or a pipe")


def copy_standard_input(path: str, what: str = "", progress: Progress | None = None) -> None:
    """Copies all of standard input into a new file at `path`. With `what` (a package), a
    terminal is refused: nobody types a package."""
    if sys.stdin is None:
        raise Failure(f"{STANDARD_INPUT}: is closed")
    if what and _is_terminal(sys.stdin):
        raise Failure(f"{STANDARD_INPUT}: is a terminal; {what} is read from it only through a pipe "
                      "or a redirection")
    source = sys.stdin.buffer
    progress = progress or Progress(False)
    with open(path, "xb") as out, progress.stage(Phase(f"reading {STANDARD_INPUT}", bytes_read)):
        while True:
            try:
                piece = source.read(PIECE)
            except OSError as error:
                raise Failure(f"{STANDARD_INPUT}: {error.strerror}") from None
            if not piece:
                break
            try:
                out.write(piece)
            except OSError as error:
                where = temporary_directory_named(os.path.dirname(os.path.dirname(path)))
                raise Failure(f"{where}: cannot keep {STANDARD_INPUT} there: {error.strerror}") from None


def copy_to_standard_output(path: str) -> None:
    """Writes the whole file at `path` to standard output."""
    try:
        sys.stdout.flush()
        out = sys.stdout.buffer
        with open(path, "rb") as source:
            while piece := source.read(PIECE):
                out.write(piece)
        out.flush()
    except BrokenPipeError:
        raise
    except OSError as error:
        if error.filename is not None:
            raise
        raise Failure(f"{STANDARD_OUTPUT}: {error.strerror}") from None


def write_to_standard_output(data: bytes) -> None:
    sys.stdout.buffer.write(data)


def package_argument(stack: contextlib.ExitStack, argument: str, progress: Progress | None = None) -> tuple[str, str]:
    """(path, how messages name it) of the package a subcommand reads: `-` is standard input,
    kept in a private file for as long as `stack` lasts."""
    if argument != "-":
        return argument, argument
    spool = stack.enter_context(private_directory(tempfile.gettempdir(), "stdin"))
    path = os.path.join(spool, "package")
    copy_standard_input(path, "a package", progress)
    return path, STANDARD_INPUT
