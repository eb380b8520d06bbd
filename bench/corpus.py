"""Real text corpora for the benchmarks and the demo.

* ``stdlib_sources()``: the running interpreter's standard library sources (source code, about
  30 MB in some 1,700 files), present on every machine.
* ``python_docs()``: the reStructuredText sources of the Python documentation (English prose,
  about 11 MB in some 500 files), from Debian's ``python3.X-doc`` package, installed on first
  use when the machine allows it; ``None`` when it cannot be had.

Text variants for the tokenizer (Latin-1 accents, CJK) are derived from real prose so that the
token distribution stays natural.
"""

from __future__ import annotations

import glob
import os
import shutil
import subprocess
import sys
import sysconfig

DOC_PACKAGES = ["python3.13-doc", "python3.12-doc", "python3.11-doc"]


def stdlib_sources() -> list[str]:
    """Every .py file of the standard library (site-packages excluded), sorted."""
    root = sysconfig.get_paths()["stdlib"]
    paths = []
    for directory, subdirs, files in os.walk(root):
        subdirs[:] = sorted(d for d in subdirs if d not in ("site-packages", "__pycache__"))
        paths.extend(os.path.join(directory, f) for f in sorted(files) if f.endswith(".py"))
    return paths


def _doc_source_files() -> list[str]:
    found = sorted(glob.glob("/usr/share/doc/python3*/html/_sources/**/*.txt", recursive=True))
    return found


def _install_docs() -> None:
    if os.geteuid() != 0 or shutil.which("apt-get") is None:
        return
    for package in DOC_PACKAGES:
        policy = subprocess.run(["apt-cache", "policy", package], capture_output=True, text=True)
        if "Candidate:" not in policy.stdout or "Candidate: (none)" in policy.stdout:
            continue
        print(f"installing {package} for a prose corpus ...", file=sys.stderr)
        result = subprocess.run(
            ["apt-get", "install", "-y", "-q", package],
            capture_output=True,
            text=True,
            env={**os.environ, "DEBIAN_FRONTEND": "noninteractive"},
        )
        if result.returncode == 0:
            return


def python_docs(install: bool = True) -> list[str] | None:
    """The documentation's reStructuredText sources, or None when they cannot be had."""
    files = _doc_source_files()
    if not files and install:
        _install_docs()
        files = _doc_source_files()
    return files or None


def total_size(paths: list[str]) -> int:
    return sum(os.path.getsize(p) for p in paths)


def read_text(paths: list[str]) -> str:
    parts = []
    for path in paths:
        with open(path, encoding="utf-8", errors="replace") as f:
            parts.append(f.read())
    return "".join(parts)


def text_of_at_least(paths: list[str], size: int) -> str:
    """The files' text, repeated until it holds at least `size` characters."""
    text = read_text(paths)
    if not text:
        raise ValueError("empty corpus")
    repeats = -(-size // len(text))
    return text * repeats


def english_prose(size: int) -> tuple[str, str]:
    """(name, text) of real English prose of at least `size` characters."""
    docs = python_docs()
    if docs:
        return "python docs (prose)", text_of_at_least(docs, size)
    return "stdlib sources (no prose corpus)", text_of_at_least(stdlib_sources(), size)


def source_code(size: int) -> tuple[str, str]:
    return "stdlib sources", text_of_at_least(stdlib_sources(), size)


_LATIN1_ACCENTS = str.maketrans({"e": "é", "a": "à", "o": "ö", "u": "ü", "c": "ç", "n": "ñ"})


def latin1_variant(text: str) -> str:
    """The text with every third word's vowels accented: 1-byte storage, non-ASCII."""
    words = text.split(" ")
    words[::3] = [w.translate(_LATIN1_ACCENTS) for w in words[::3]]
    return " ".join(words)


def cjk_variant(text: str) -> str:
    """The text with every fourth word replaced by CJK ideographs: 2-byte storage."""
    words = text.split(" ")

    def ideographs(word: str) -> str:
        return "".join(chr(0x4E00 + (ord(ch) * 37 + i * 11) % 0x5000) for i, ch in enumerate(word))

    words[::4] = [ideographs(w) for w in words[::4]]
    return " ".join(words)
