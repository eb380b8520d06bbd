"""Running `qvc` with a pseudo-terminal where a user's terminal would be."""

from __future__ import annotations

import fcntl
import os
import struct
import subprocess
import termios
from dataclasses import dataclass


@dataclass
class TerminalRun:
    status: int
    output: str  # what reached the terminal
    stdout: bytes  # standard output, when it was not the terminal


def run_on_terminal(command: list[str], cwd=None, stdin=subprocess.DEVNULL, stdin_too: bool = False,
                    stdout_too: bool = False, columns: int = 100, timeout: float = 300) -> TerminalRun:
    """Runs `command` with its standard error on a pseudo-terminal of `columns` columns (and its
    standard input or output too, if asked); `stdin` is bytes to feed, or a file object."""
    main, terminal = os.openpty()
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    feed = stdin if isinstance(stdin, bytes) else None
    process = subprocess.Popen(
        command, cwd=cwd, stderr=terminal,
        stdin=terminal if stdin_too else (subprocess.PIPE if feed is not None else stdin),
        stdout=terminal if stdout_too else subprocess.PIPE)
    os.close(terminal)
    if feed is not None:
        process.stdin.write(feed)
        process.stdin.close()
    seen = b""
    while True:
        try:
            piece = os.read(main, 65536)
        except OSError:  # the terminal's last user has gone
            break
        if not piece:
            break
        seen += piece
    os.close(main)
    stdout = b"" if stdout_too else process.stdout.read()
    process.wait(timeout=timeout)
    return TerminalRun(process.returncode, seen.decode("utf-8", "replace"), stdout)
