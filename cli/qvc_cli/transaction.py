"""Steps on the file system that stand or fall together.

Each step that changes something registers how to take it back; when the block they are taken
in fails, however it fails (Ctrl-C included), every registered undo runs, newest first, and the
failure goes on. When the block completes, the undos are forgotten and the steps stay.
"""

from __future__ import annotations

import contextlib
from collections.abc import Callable


def _quietly(undo: Callable[..., object], *args: object) -> None:
    # What cannot be taken back is left as it is; the other undos still run.
    with contextlib.suppress(OSError):
        undo(*args)


class Transaction:
    """A context manager; `on_failure(undo, *args)` registers `undo(*args)` for one step.
    `while_undoing` is entered around the undos (e.g. to hold off signals)."""

    def __init__(self, while_undoing: Callable[[], contextlib.AbstractContextManager] = contextlib.nullcontext):
        self._undos = contextlib.ExitStack()
        self._while_undoing = while_undoing

    def on_failure(self, undo: Callable[..., object], *args: object) -> None:
        self._undos.callback(_quietly, undo, *args)

    def undo(self) -> None:
        """Takes back every step registered so far, newest first."""
        with self._while_undoing():
            self._undos.close()

    def __enter__(self) -> Transaction:
        return self

    def __exit__(self, kind, error, traceback) -> bool:
        if kind is None:
            self._undos.pop_all()
        else:
            self.undo()
        return False
