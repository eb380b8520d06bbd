"""What the command line reports instead of a traceback."""

from __future__ import annotations


class Failure(Exception):
    """An expected failure: reported in one line on standard error, exit status 1."""


def listed(items: list[str], limit: int = 3) -> str:
    """The first few of `items` and how many more there are, for one line of a message."""
    shown = ", ".join(items[:limit])
    return shown if len(items) <= limit else f"{shown} and {len(items) - limit} more"


def counted(count: int, noun: str, plural: str = "") -> str:
    """`count` and `noun`, plural unless the count is one: "1 file", "2,000 files"."""
    return f"{count:,} {noun}" if count == 1 else f"{count:,} {plural or noun + 's'}"
