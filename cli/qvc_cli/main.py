"""qvc pack | pack-shards | unpack | check | info."""

from __future__ import annotations

import os
import signal
import sys

from qvc_cli.arguments import build_parser
from qvc_cli.failures import Failure
from qvc_cli.staging import completed, exit_cleanly_on_termination, forget_completed


def _runner(name: str):
    """The function running subcommand `name`, imported only when it runs: `qvc --version` and
    `qvc --help` never load the compressor."""

    def run(args):
        if name == "pack":
            from qvc_cli.packing import run_pack as command
        elif name == "pack-shards":
            from qvc_cli.pack_shards import run_pack_shards as command
        elif name == "unpack":
            from qvc_cli.restoring import run_unpack as command
        elif name == "check":
            from qvc_cli.restoring import run_check as command
        else:
            from qvc_cli.listing import run_info as command
        return command(args)

    return run


def describe(error: BaseException) -> str:
    if isinstance(error, OSError) and error.filename is not None:
        return f"{error.filename}: {error.strerror or error}"
    if isinstance(error, UnicodeDecodeError):
        return f"not valid UTF-8 text: {error}"
    return str(error) or type(error).__name__


def _expected_failures() -> tuple[type[BaseException], ...]:
    """Our own exception types and the system's: anything else is a bug in qvc, and shows its
    traceback."""
    from qvc_cli.package_format import PackageError

    return (Failure, PackageError, OSError)


def _end_on_closed_pipe() -> None:
    """Standard output's reader has gone (`qvc info p.qvc | head -1`): whatever was under way
    has been cleaned up by now, so end as cat and ls end there, by SIGPIPE, quietly. The shell
    sees status 141, and a pipeline under `set -o pipefail` knows the output was cut short."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    os.kill(os.getpid(), signal.SIGPIPE)


def parse(argv: list[str] | None):
    """The arguments, with names after options (`qvc unpack p.qvc -o out a.txt`) taken as
    names too, which argparse leaves over once a name list has been matched empty."""
    parser = build_parser(_runner)
    args, extras = parser.parse_known_args(argv)
    if extras:
        options = [extra for extra in extras if extra.startswith("-") and extra != "-"]
        if args.command != "unpack" or options:
            args.parser.error(f"unrecognized arguments: {' '.join(options or extras)}")
        args.patterns += extras
    if args.command == "pack" and args.paths.count("-") > 1:
        args.parser.error("standard input (-) can be packed once")
    return args


def main(argv: list[str] | None = None) -> int:
    args = parse(argv)
    exit_cleanly_on_termination()
    forget_completed()
    # Stored paths are bytes: those that are not UTF-8 are printed as the bytes they are.
    sys.stdout.reconfigure(errors="surrogateescape")
    try:
        status = args.run(args)
        sys.stdout.flush()
        return status
    except BrokenPipeError:
        _end_on_closed_pipe()
        raise
    except MemoryError:
        print(f"qvc {args.command}: out of memory", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        done = completed()
        if done:
            print(f"qvc {args.command}: interrupted after {' and '.join(done)}", file=sys.stderr)
        else:
            print(f"qvc {args.command}: interrupted; nothing left half written", file=sys.stderr)
        return 130
    except Exception as error:
        if not isinstance(error, _expected_failures()):
            raise
        try:
            print(f"qvc {args.command}: {describe(error)}", file=sys.stderr)
        except BrokenPipeError:
            _end_on_closed_pipe()
        return 1
