"""What reading a file as text with universal newlines changed, so that it can be undone.

The compressor reads CR LF and a lone CR as LF. A file's record lists the original line end of
every LF the compressor saw, run-length encoded: each element is `count << 2 | kind`. A file
without a carriage return (nearly every file) has no record at all; a file whose line ends are
all CR LF has a record of one element.
"""

from __future__ import annotations

import itertools
import re

LF, CRLF, CR = 0, 1, 2
_SEPARATOR = {LF: b"\n", CRLF: b"\r\n", CR: b"\r"}
_KIND = {separator: kind for kind, separator in _SEPARATOR.items()}
_LINE_END = re.compile(rb"\r\n|\r|\n")

LineEnds = tuple[int, ...]


class LineEndRecorder:
    """Builds the record of a file from its bytes, fed in pieces of any size."""

    def __init__(self) -> None:
        self._runs: list[list[int]] = []  # [kind, count]
        self._cr_pending = False  # the last piece ended with CR: LF may follow in the next
        self._saw_cr = False

    def _add(self, kind: int, count: int) -> None:
        if count == 0:
            return
        if self._runs and self._runs[-1][0] == kind:
            self._runs[-1][1] += count
        else:
            self._runs.append([kind, count])

    def feed(self, piece: bytes) -> None:
        if not piece:
            return
        if self._cr_pending:
            self._cr_pending = False
            if piece.startswith(b"\n"):
                self._add(CRLF, 1)
                piece = piece[1:]
            else:
                self._add(CR, 1)
        if b"\r" not in piece:
            if lines := piece.count(b"\n"):
                self._add(LF, lines)
            return
        self._saw_cr = True
        if piece.endswith(b"\r"):
            self._cr_pending = True
            piece = piece[:-1]
        crlf, cr, lf = piece.count(b"\r\n"), piece.count(b"\r"), piece.count(b"\n")
        if crlf == cr == lf:
            self._add(CRLF, crlf)
        elif lf == 0:
            self._add(CR, cr)
        else:
            for kind, group in itertools.groupby(_KIND[end] for end in _LINE_END.findall(piece)):
                self._add(kind, sum(1 for _ in group))

    def finish(self) -> LineEnds | None:
        if self._cr_pending:
            self._cr_pending = False
            self._add(CR, 1)
        if not self._saw_cr:
            return None
        return tuple(count << 2 | kind for kind, count in self._runs)


def record_of(data: bytes) -> LineEnds | None:
    """The record of a whole file; None when reading it as text changes nothing."""
    if b"\r" not in data:
        return None
    recorder = LineEndRecorder()
    recorder.feed(data)
    return recorder.finish()


def is_valid_record(record: object) -> bool:
    return type(record) is tuple and all(
        type(element) is int and element >= 0 and element & 3 in _SEPARATOR for element in record
    )


def restore(text: bytes, record: LineEnds | None) -> bytes | None:
    """The original bytes of a file the compressor restored as `text`; None when the record
    does not fit the text (a damaged package)."""
    if record is None:
        return text
    runs = [(element & 3, element >> 2) for element in record]
    if text.count(b"\n") != sum(count for _, count in runs):
        return None
    if len(runs) == 1:
        return text.replace(b"\n", _SEPARATOR[runs[0][0]])
    separators = itertools.chain.from_iterable(
        itertools.repeat(_SEPARATOR[kind], count) for kind, count in runs)
    lines = text.split(b"\n")
    joined = itertools.chain.from_iterable(zip(lines, separators))
    return b"".join(itertools.chain(joined, (lines[-1],)))


class LineEndRestorer:
    """Puts a file's line ends back as `restore` does, on its text fed in pieces of any size.
    `fits()`, once every piece is in, tells whether the record fitted the text (it does not in a
    damaged package); pieces fed after a misfit come back unchanged."""

    def __init__(self, record: LineEnds) -> None:
        self._runs = iter([(_SEPARATOR[element & 3], element >> 2) for element in record])
        self._separator, self._left = b"\n", 0
        self._fitted = True

    def feed(self, piece: bytes) -> bytes:
        parts = piece.split(b"\n")
        lines = len(parts) - 1
        if lines == 0 or not self._fitted:
            return piece
        out, done = [], 0
        while done < lines:
            while self._left == 0:
                run = next(self._runs, None)
                if run is None:
                    self._fitted = False
                    return piece
                self._separator, self._left = run
            count = min(self._left, lines - done)
            out.append(self._separator.join(parts[done:done + count]))
            out.append(self._separator)
            done += count
            self._left -= count
        out.append(parts[lines])
        return b"".join(out)

    def fits(self) -> bool:
        return self._fitted and self._left == 0 and all(count == 0 for _, count in self._runs)
