import os
import subprocess
import sys
import textwrap

import pytest


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
