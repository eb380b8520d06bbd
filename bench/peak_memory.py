"""The peak resident size of a stretch of a process's life, for the benchmarks' memory figures."""

from __future__ import annotations

import re
import resource


class PeakMemory:
    """The peak resident size reached from now on, above the resident size now, in KiB."""

    def __init__(self):
        self.fresh_peak = False
        try:
            with open("/proc/self/clear_refs", "w") as f:
                f.write("5")  # resets the process's resident high-water mark
            self.fresh_peak = True
        except OSError:
            pass
        self.start = self._status("VmRSS") if self.fresh_peak else self._maxrss()

    def growth(self):
        return (self._status("VmHWM") if self.fresh_peak else self._maxrss()) - self.start

    @staticmethod
    def _status(field):
        with open("/proc/self/status") as f:
            return int(re.search(field + r":\s+(\d+)", f.read()).group(1))

    @staticmethod
    def _maxrss():
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
