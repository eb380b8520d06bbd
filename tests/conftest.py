import os
import subprocess
import sys
import textwrap

import pytest

# A sanitizer's runtime, preloaded into the interpreter, claims a vast address space of its own,
# which leaves no room under a limit on it.
UNDER_SANITIZER = any(
    runtime in os.environ.get("LD_PRELOAD", "") for runtime in ("libasan", "libtsan")
)
# Whether a test may limit its process's address space to bring about a failure to allocate.
CAN_LIMIT_ADDRESS_SPACE = os.path.exists("/proc/self/status") and not UNDER_SANITIZER


@pytest.fixture
def in_tmp_dir(tmp_path, monkeypatch):
    """Runs the test with a fresh empty directory as the current directory."""
    monkeypatch.chdir(tmp_path)
    return tmp_path


def run_python(code: str, *, cwd=None) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter of the one running the tests."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        cwd=cwd,
        env={**os.environ, "PYTHONWARNINGS": ""},
        timeout=120,
    )
