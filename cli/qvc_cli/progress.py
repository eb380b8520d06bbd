"""How far a long run has come, on standard error when it is a terminal.

The library's `encode_files` and `decode_package` are single calls that report nothing while they
run, and they hold the interpreter's lock for seconds at a time, so no thread of this process
could draw meanwhile. What they do shows outside them: the bytes this process has read and
written so far (`/proc/PID/io`), against totals known beforehand (the input files' sizes, the
package's size, the restored files' sizes in the manifest). So a small display process draws:
it reads those counters a few times a second, whatever this process is doing, and this process
tells it through a pipe which stage begins and ends. Where a phase moves no bytes (the
compressor working in memory, a tree being scanned), the display says which phase it is and
how long it has taken.

A phase counts as begun once its counter has moved past the phase's threshold: a writer that
puts down a few header bytes long before the bulk of its output must not show a byte count that
then stands still. The time left is shown only once the rate has been measured for a while.

Nothing is shown in the first second, so short runs print nothing, and the bar library is only
imported once a bar is to be drawn.
"""

from __future__ import annotations

import bisect
import contextlib
import json
import os
import select
import signal
import subprocess
import sys
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass

DELAY = 1.0
INTERVAL = 0.25
# The time left is estimated once a phase has run this long and done this share of its total.
ESTIMATE_AFTER_SECONDS = 3.0
ESTIMATE_AFTER_SHARE = 0.02

_DISPLAY = "from qvc_cli.progress import display_main; display_main()"


def io_counters(path: str) -> tuple[int, int] | None:
    """(bytes read, bytes written) by a process, through any file or pipe."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError:
        return None
    fields = data.split()
    try:
        return int(fields[fields.index(b"rchar:") + 1]), int(fields[fields.index(b"wchar:") + 1])
    except (ValueError, IndexError):
        return None


class IoCounter:
    """Bytes read or written so far by process `pid` (this one by default): callable here, and
    described by `spec` for the display process. A process that has ended keeps the last
    count seen."""

    def __init__(self, field: str, pid: int | None = None) -> None:
        self.field = field
        self.pid = pid
        self._last = 0

    @property
    def spec(self) -> list:
        return [self.pid or os.getpid(), self.field]

    def __call__(self) -> int:
        counters = io_counters(f"/proc/{self.pid or 'self'}/io")
        if counters is not None:
            self._last = max(self._last, counters[0] if self.field == "read" else counters[1])
        return self._last


bytes_read = IoCounter("read")
bytes_written = IoCounter("written")
Counter = Callable[[], int]


def counters_available() -> bool:
    return io_counters("/proc/self/io") is not None


@dataclass
class Phase:
    """One part of a stage: `counter` measures it against `total` bytes; a phase without a
    counter is shown as under way, with its time, while the phases around it stand still.
    `ends` are the running totals at the end of each file, for a count of files done. The phase
    begins once its counter has moved more than `threshold`."""

    label: str
    counter: Counter | None = None
    total: int | None = None
    ends: list[int] | None = None
    threshold: int = 0


class _Shown:
    """The phases of a stage, with their counters' values when it began."""

    def __init__(self, phases: list[Phase], baselines: list[int] | None = None,
                 started: float | None = None) -> None:
        self.phases = phases
        self.baselines = baselines or [phase.counter() if phase.counter else 0 for phase in phases]
        self.wall_started = started or time.time()

    def current(self) -> tuple[Phase, int]:
        """The phase under way and its bytes done: the latest phase whose counter has moved,
        or the one after it when it is complete and the next has no counter of its own."""
        index, done = 0, 0
        for number, phase in enumerate(self.phases):
            if phase.counter is None:
                continue
            moved = phase.counter() - self.baselines[number]
            if moved > phase.threshold or number == 0:
                index, done = number, moved
        phase = self.phases[index]
        if phase.total is not None and done >= phase.total and index + 1 < len(self.phases) \
                and self.phases[index + 1].counter is None:
            return self.phases[index + 1], 0
        if phase.total is not None:
            done = min(done, phase.total)
        return phase, done


class Progress:
    """Has the stage under way drawn on standard error, when `enabled`; stages are entered with
    `stage`. Stopping it (as a context manager) clears the line before anything else is said."""

    def __init__(self, enabled: bool, stream=None) -> None:
        self.stream = stream or sys.stderr
        self.enabled = enabled and counters_available()
        self._started = time.time()
        self._display: subprocess.Popen | None = None
        self._sent = 0  # bytes written to the display, which this process's count includes

    def __enter__(self) -> Progress:
        return self

    def __exit__(self, *exc_info) -> None:
        self.stop()

    @contextlib.contextmanager
    def stage(self, *phases: Phase) -> Iterator[None]:
        if not self.enabled:
            yield
            return
        described = []
        for phase in phases:
            # Only the system's counters can be read from the display process.
            counter = phase.counter if isinstance(phase.counter, IoCounter) else None
            baseline = counter() if counter else 0
            if counter is not None and counter.spec == [os.getpid(), "written"]:
                baseline -= self._sent
            described.append({"label": phase.label, "total": phase.total, "ends": phase.ends,
                              "threshold": phase.threshold,
                              "counter": counter.spec if counter else None, "baseline": baseline})
        self._tell({"phases": described, "started": time.time()})
        try:
            yield
        finally:
            self._tell({"phases": None})

    def _tell(self, message: dict) -> None:
        """Hands `message` to the display process, started the first time; a display that
        cannot be had is given up quietly: it only ever shows how far the work has come."""
        try:
            if self._display is None:
                self._display = subprocess.Popen(
                    # -P: nothing is imported from the current directory.
                    [sys.executable, "-P", "-c", _DISPLAY, str(self._started)],
                    stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=self.stream)
            line = json.dumps(message).encode() + b"\n"
            self._display.stdin.write(line)
            self._display.stdin.flush()
            self._sent += len(line)
        except (OSError, ValueError):
            self.enabled = False
            self.stop()

    def stop(self) -> None:
        """Ends the display, which clears its line first."""
        display, self._display = self._display, None
        if display is None:
            return
        with contextlib.suppress(OSError, ValueError):
            display.stdin.close()
        try:
            display.wait(timeout=2)
        except subprocess.TimeoutExpired:
            display.kill()
            display.wait()


def _phases_from(described: list[dict], received: Counter) -> tuple[list[Phase], list[int]]:
    """The phases of a stage as the display reads them: the parent's count of bytes written
    leaves out what it wrote to the display (`received` so far)."""
    phases, baselines = [], []
    for fields in described:
        spec = fields.pop("counter")
        baselines.append(fields.pop("baseline"))
        counter: Counter | None = None
        if spec is not None:
            counter = IoCounter(spec[1], spec[0])
            if spec == [os.getppid(), "written"]:
                counter = lambda written=counter: written() - received()  # noqa: E731
        phases.append(Phase(counter=counter, **fields))
    return phases, baselines


def display_main() -> None:
    """The display process: draws the stage it was last told of, until its input ends."""
    # Ctrl-C reaches the whole process group: the parent unwinds and then closes the pipe.
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, signal.SIG_IGN)
    parent_started = float(sys.argv[1])
    stream = sys.stderr
    stdin = sys.stdin.fileno()
    pending = b""
    received = 0
    shown: _Shown | None = None
    bar = None
    drawn: Phase | None = None
    try:
        while True:
            if select.select([stdin], [], [], INTERVAL)[0]:
                piece = os.read(stdin, 65536)
                if not piece:
                    break
                received += len(piece)
                pending += piece
                *lines, pending = pending.split(b"\n")
                for line in lines:
                    message = json.loads(line)
                    if message["phases"] is None:
                        shown = None
                    else:
                        phases, baselines = _phases_from(message["phases"], lambda: received)
                        shown = _Shown(phases, baselines, message["started"])
                if shown is None and bar is not None:
                    bar.close()
                    bar, drawn = None, None
            if shown is None or time.time() - parent_started < DELAY:
                continue
            phase, done = shown.current()
            if phase is not drawn:
                if bar is not None:
                    bar.close()
                # The first phase began with the stage; a later one as it is first seen.
                began = shown.wall_started if phase is shown.phases[0] else time.time()
                bar = _new_bar(phase, stream, began)
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


_BAR = "{desc}: {percentage:3.0f}%|{bar}| {n_fmt}B/{total_fmt}B [{elapsed}, about {remaining} left, {rate_fmt}]"
_BAR_BEFORE_ESTIMATE = "{desc}: {percentage:3.0f}%|{bar}| {n_fmt}B/{total_fmt}B [{elapsed}, {rate_fmt}]"
_COUNTER = "{desc}: {n_fmt}B [{elapsed}, {rate_fmt}]"
_UNDER_WAY = "{desc} {elapsed}"


def _new_bar(phase: Phase, stream, started: float):
    import tqdm

    # No monitor thread of the library's own: the display's loop refreshes the bar.
    tqdm.tqdm.monitor_interval = 0
    sized = _columns(stream) > 0
    if phase.counter is None:
        form = _UNDER_WAY
    else:
        form = _BAR_BEFORE_ESTIMATE if phase.total else _COUNTER
    bar = tqdm.tqdm(total=phase.total, desc=phase.label, file=stream, leave=False, unit="B", unit_scale=True,
                    dynamic_ncols=sized, ncols=None if sized else 80, mininterval=0, miniters=1, smoothing=0,
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
    if phase.total and bar.bar_format == _BAR_BEFORE_ESTIMATE and _rate_known(bar, done, phase.total):
        bar.bar_format = _BAR
    bar.update(done - bar.n)


def _rate_known(bar, done: int, total: int) -> bool:
    """Whether the phase has run long enough, and far enough, for its rate to say how long the
    rest takes."""
    return (time.time() - bar.start_t >= ESTIMATE_AFTER_SECONDS
            and done >= ESTIMATE_AFTER_SHARE * total)


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
