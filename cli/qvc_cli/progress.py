"""How far a long run has come, on standard error when it is a terminal.

The library's `encode_files` and `decode_package` are single calls that report nothing while they
run, and they hold the interpreter's lock for long stretches. What they do shows outside them:
the bytes this process has read and written so far (`/proc/self/io`), against totals known
beforehand (the input files' sizes, the package's size, the restored files' sizes in the
manifest). A display thread polls those counters a few times a second; it runs whenever the
library lets go of the lock, which it does for every read, write and compression. Where a phase
moves no bytes (the compressor working in memory), the display says which phase it is and how
long it has taken.

Nothing is shown in the first second, so short runs print nothing, and the bar library is only
imported once a bar is to be drawn.
"""

from __future__ import annotations

import bisect
import contextlib
import os
import sys
import threading
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass

Counter = Callable[[], int]

DELAY = 1.0
INTERVAL = 0.25


# What the display itself has read (the counters, the bar library's modules) and written (the
# bar), which the process's own counts include.
_own_reads = 0
_drawn = 0


def io_counters(path: str) -> tuple[int, int] | None:
    """(bytes read, bytes written) by the process, through any file or pipe."""
    global _own_reads
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError:
        return None
    if path == "/proc/self/io":
        _own_reads += len(data)
    fields = data.split()
    try:
        return int(fields[fields.index(b"rchar:") + 1]), int(fields[fields.index(b"wchar:") + 1])
    except (ValueError, IndexError):
        return None


def bytes_read() -> int:
    """Bytes read by the process, the progress display's own left out."""
    counters = io_counters("/proc/self/io")
    return counters[0] - _own_reads if counters else 0


def bytes_written() -> int:
    """Bytes written by the process, the progress display's own left out."""
    counters = io_counters("/proc/self/io")
    return counters[1] - _drawn if counters else 0


class _CountedStream:
    """The display's stream, counting what goes through it."""

    def __init__(self, stream) -> None:
        self._stream = stream

    def write(self, text: str) -> int:
        global _drawn
        written = self._stream.write(text)
        self._stream.flush()
        _drawn += len(text.encode("utf-8", "replace"))
        return written

    def flush(self) -> None:
        self._stream.flush()

    def fileno(self) -> int:
        return self._stream.fileno()


def counters_available() -> bool:
    return io_counters("/proc/self/io") is not None


@dataclass
class Phase:
    """One part of a stage: `counter` measures it against `total` bytes; a phase without a
    counter is shown as under way, with its time, while the phases around it stand still.
    `ends` are the running totals at the end of each file, for a count of files done."""

    label: str
    counter: Counter | None = None
    total: int | None = None
    ends: list[int] | None = None


class _Shown:
    """The phase being drawn, with its baseline."""

    def __init__(self, phases: list[Phase]) -> None:
        self.phases = phases
        self.baselines = [phase.counter() if phase.counter else 0 for phase in phases]
        self.wall_started = time.time()

    def current(self) -> tuple[Phase, int]:
        """The phase under way and its bytes done: the latest phase whose counter has moved,
        or the one after it when it is complete and the next has no counter of its own."""
        index, done = 0, 0
        for number, phase in enumerate(self.phases):
            if phase.counter is None:
                continue
            moved = phase.counter() - self.baselines[number]
            if moved > 0 or number == 0:
                index, done = number, moved
        phase = self.phases[index]
        if phase.total is not None and done >= phase.total and index + 1 < len(self.phases) \
                and self.phases[index + 1].counter is None:
            return self.phases[index + 1], 0
        if phase.total is not None:
            done = min(done, phase.total)
        return phase, done


class Progress:
    """Draws the stage under way on standard error, when `enabled`; stages are entered with
    `stage`. Stopping it (as a context manager) clears the line before anything else is said."""

    def __init__(self, enabled: bool, stream=None) -> None:
        self.stream = stream or sys.stderr
        self.enabled = enabled and counters_available()
        self._shown: _Shown | None = None
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None
        self._started = time.monotonic()

    def __enter__(self) -> Progress:
        return self

    def __exit__(self, *exc_info) -> None:
        self.stop()

    @contextlib.contextmanager
    def stage(self, *phases: Phase) -> Iterator[None]:
        if not self.enabled:
            yield
            return
        with self._lock:
            self._shown = _Shown(list(phases))
        if self._thread is None:
            self._thread = threading.Thread(target=self._run, name="qvc progress", daemon=True)
            self._thread.start()
        try:
            yield
        finally:
            with self._lock:
                self._shown = None

    def stop(self) -> None:
        if self._thread is not None:
            self._stop.set()
            self._thread.join(timeout=2)
            self._thread = None

    def _run(self) -> None:
        bar = None
        drawn: Phase | None = None
        try:
            while not self._stop.wait(INTERVAL):
                if time.monotonic() - self._started < DELAY:
                    continue
                with self._lock:
                    shown = self._shown
                if shown is None:
                    continue
                phase, done = shown.current()
                if phase is not drawn:
                    if bar is not None:
                        bar.close()
                    bar = _new_bar(phase, _CountedStream(self.stream), shown.wall_started)
                    drawn = phase
                _update(bar, phase, done)
        finally:
            if bar is not None:
                bar.close()


def _columns(stream) -> int:
    """The terminal's width; a terminal that tells none (a fresh pseudo-terminal) gets 80."""
    try:
        return os.get_terminal_size(stream.fileno()).columns
    except (AttributeError, ValueError, OSError):
        return 0


_BAR = "{desc}: {percentage:3.0f}%|{bar}| {n_fmt}B/{total_fmt}B [{elapsed}<{remaining}, {rate_fmt}]"
# Until a phase has moved for a while, its rate says nothing about what is left: no time left.
_BAR_WITHOUT_ETA = "{desc}: {percentage:3.0f}%|{bar}| {n_fmt}B/{total_fmt}B [{elapsed}]"
RATE_KNOWN_AFTER = 2.0
_COUNTER = "{desc}: {n_fmt}B [{elapsed}, {rate_fmt}]"
_UNDER_WAY = "{desc} {elapsed}"


def _import_bar_library():
    global _own_reads
    before = io_counters("/proc/self/io")
    import tqdm

    # A first bar drawn where nobody sees it loads what drawing needs, so that what the bar
    # library reads is not taken for the work's progress.
    with open(os.devnull, "w") as nowhere:
        trial = tqdm.tqdm(total=10, file=nowhere, unit="B", unit_scale=True, ncols=80, bar_format=_BAR)
        trial.update(5)
        trial.close()
    after = io_counters("/proc/self/io")
    if before and after:
        _own_reads += after[0] - before[0]
    return tqdm


def _new_bar(phase: Phase, stream, started: float):
    tqdm = _import_bar_library()

    # No monitor thread of the library's own: this thread refreshes the bar.
    tqdm.tqdm.monitor_interval = 0
    sized = _columns(stream) > 0
    form = _UNDER_WAY if phase.counter is None else _BAR_WITHOUT_ETA if phase.total else _COUNTER
    bar = tqdm.tqdm(total=phase.total, desc=phase.label, file=stream, leave=False, unit="B", unit_scale=True,
                    dynamic_ncols=sized, ncols=None if sized else 80, mininterval=0, smoothing=0,
                    bar_format=form)
    # The rate is the phase's average since it began, not since it was first drawn.
    bar.start_t = started
    return bar


def _update(bar, phase: Phase, done: int) -> None:
    if phase.ends:
        files = bisect.bisect_right(phase.ends, done)
        bar.set_description_str(f"{phase.label} {files:,}/{len(phase.ends):,} files", refresh=False)
    if phase.counter is None:
        bar.refresh()
        return
    if phase.total:
        known = done > 0 and time.time() - bar.start_t >= RATE_KNOWN_AFTER
        bar.bar_format = _BAR if known else _BAR_WITHOUT_ETA
    bar.update(done - bar.n)


def running_totals(sizes: list[int]) -> list[int]:
    ends, total = [], 0
    for size in sizes:
        total += size
        ends.append(total)
    return ends


def wanted(quiet: bool) -> bool:
    """Whether a bar may be drawn: never with -q, never unless standard error is a terminal."""
    if quiet:
        return False
    try:
        return os.isatty(sys.stderr.fileno())
    except (AttributeError, ValueError, OSError):
        return False
