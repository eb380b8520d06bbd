"""The progress display: on a terminal only, never with -q, and gone before the summary."""

import io
import subprocess
import time

import pytest

from cli_support import QVC, write_big_tree
from pty_support import run_on_terminal
from qvc_cli import progress
from qvc_cli.progress import Phase, _Shown


class SlowText:
    """Standard input that keeps `qvc` waiting for a while: a run long enough for a display."""

    def __init__(self, seconds: float = 2.5) -> None:
        self.seconds = seconds

    def start(self, cwd, *args, terminal=True):
        command = ["sh", "-c", f"printf 'first words '; sleep {self.seconds}; printf 'last words\\n'"]
        feeder = subprocess.Popen(command, stdout=subprocess.PIPE)
        qvc_command = [*QVC, "pack", "notes.qvc", "-", "--name", "notes.txt", *args]
        if terminal:
            result = run_on_terminal(qvc_command, cwd=cwd, stdin=feeder.stdout)
        else:
            completed = subprocess.run(qvc_command, cwd=cwd, stdin=feeder.stdout, capture_output=True, timeout=300)
            result = (completed.returncode, completed.stderr.decode(), completed.stdout)
        feeder.wait()
        return result


def test_a_long_run_shows_progress_on_a_terminal(tmp_path):
    result = SlowText().start(tmp_path)
    assert result.status == 0
    assert "reading standard input" in result.output
    # The bar is cleared before the summary, which goes to standard output.
    assert result.output.split("\r")[-2].strip() == "" and b"packed 1 file" in result.stdout


@pytest.mark.parametrize("where", ["pipe", "terminal with -q"])
def test_no_progress_without_a_terminal_or_with_quiet(tmp_path, where):
    if where == "pipe":
        status, stderr, stdout = SlowText().start(tmp_path, terminal=False)
        assert (status, stderr) == (0, "") and b"packed 1 file" in stdout
    else:
        result = SlowText().start(tmp_path, "-q", terminal=True)
        assert result.status == 0 and result.output == "" and result.stdout == b""


def test_a_short_run_on_a_terminal_shows_nothing(tmp_path):
    (tmp_path / "a.txt").write_text("short\n")
    result = run_on_terminal([*QVC, "pack", "a.qvc", "a.txt"], cwd=tmp_path)
    assert result.status == 0 and result.output == ""


def test_a_long_pack_shows_its_phases(tmp_path):
    write_big_tree(tmp_path / "big", size=24_000_000)
    started = time.monotonic()
    # A slow level on one thread: seconds of compressing, on any machine this runs on.
    result = run_on_terminal([*QVC, "pack", "big.qvc", "big", "--level", "16", "--threads", "1"], cwd=tmp_path)
    assert result.status == 0, result.output
    if time.monotonic() - started < 1.5:
        pytest.skip("the pack was over before the display begins")
    phases = ("packing ", "compressing", "writing", "taking digests")
    assert any(phase in result.output for phase in phases), result.output
    if "packing " in result.output:
        assert "/8 files" in result.output and "MB" in result.output


class Count:
    """A counter the test moves by hand."""

    def __init__(self) -> None:
        self.value = 0

    def __call__(self) -> int:
        return self.value


def test_a_phase_begins_only_once_its_counter_passes_its_threshold():
    """The encoder writes a package's first bytes long before the rest: those must not turn the
    display into a byte count that stands still."""
    read, written = Count(), Count()
    shown = _Shown([Phase("packing", read, 1000), Phase("compressing"), Phase("writing", written, threshold=4096)])
    read.value = 400
    assert shown.current() == (shown.phases[0], 400)
    read.value, written.value = 1000, 233
    assert shown.current() == (shown.phases[1], 0)
    written.value = 100_000
    assert shown.current() == (shown.phases[2], 100_000)


def test_the_time_left_is_shown_only_once_the_rate_is_known():
    stream = io.StringIO()
    phase = Phase("packing", Count(), 1_000_000)
    bar = progress._new_bar(phase, stream, time.time())
    progress._update(bar, phase, 500_000)  # half done at once: no rate measured yet
    assert "left" not in stream.getvalue() and "packing:  50%" in stream.getvalue()
    bar.start_t -= progress.ESTIMATE_AFTER_SECONDS
    progress._update(bar, phase, 600_000)
    assert "about" in stream.getvalue().rsplit("\r", 1)[-1] and "left" in stream.getvalue()
    bar.close()


def test_the_display_moves_while_the_compressor_holds_the_interpreter(tmp_path):
    """A long call of the library holds the interpreter's lock: the display, drawn by a process
    of its own, still moves meanwhile."""
    write_big_tree(tmp_path / "big", size=24_000_000)
    started = time.monotonic()
    result = run_on_terminal([*QVC, "pack", "big.qvc", "big", "--level", "16", "--threads", "1"], cwd=tmp_path)
    assert result.status == 0, result.output
    if time.monotonic() - started < 4:
        pytest.skip("the pack was over too soon to see the display move")
    frames = {frame.strip() for frame in result.output.split("\r") if frame.strip()}
    compressing = {frame for frame in frames if frame.startswith("compressing")}
    assert len(frames) >= 4 and (len(compressing) >= 2 or not compressing), frames


@pytest.mark.parametrize("phase_age, done, eta_shown", [(0.0, 100_000, False), (5.0, 0, False), (5.0, 100_000, True)])
def test_no_time_left_is_shown_until_the_rate_is_known(phase_age, done, eta_shown):
    drawn = io.StringIO()
    phase = Phase("restoring", lambda: done, total=1_000_000)
    bar = progress._new_bar(phase, drawn, time.time() - phase_age)
    progress._update(bar, phase, done)
    bar.refresh()
    last = drawn.getvalue().split("\r")[-1]
    assert "restoring" in last and ("left" in last) == eta_shown, last
