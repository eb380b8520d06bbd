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
import re
import shutil
import subprocess
import sys
import sysconfig

DOC_PACKAGES = ["python3.13-doc", "python3.12-doc", "python3.11-doc"]

# Set to "1" by a driver that has already tried to install the documentation and failed, so that
# each of its child processes does not go through apt again.
NO_INSTALL_ENV = "QVC_BENCH_NO_DOC_INSTALL"


def distinct_files(paths: list[str]) -> list[str]:
    """The paths in their order, less those that reach a file already listed through a link."""
    seen, unique = set(), []
    for path in paths:
        real = os.path.realpath(path)
        if real not in seen:
            seen.add(real)
            unique.append(path)
    return unique


def stdlib_sources() -> list[str]:
    """Every .py file of the standard library (site-packages excluded), sorted."""
    root = sysconfig.get_paths()["stdlib"]
    paths = []
    for directory, subdirs, files in os.walk(root):
        subdirs[:] = sorted(
            d for d in subdirs if d not in ("site-packages", "dist-packages", "__pycache__")
        )
        paths.extend(os.path.join(directory, f) for f in sorted(files) if f.endswith(".py"))
    # A distribution may link a module to a file elsewhere (sitecustomize.py to /etc, say).
    return distinct_files(paths)


def _version_key(directory: str) -> tuple[int, ...]:
    match = re.search(r"python(\d+)\.(\d+)", directory)
    return (int(match.group(1)), int(match.group(2))) if match else (0, 0)


def _doc_source_files() -> list[str]:
    """The sources of one documentation tree: the newest version's when several are installed.

    Debian links the documentation directories of python3.X, -dev, -venv and -doc to one
    another, so the glob sees one tree several times; and two versions' trees are mostly the
    same text, which would make the corpus repeat itself."""
    trees = glob.glob("/usr/share/doc/python3*/html/_sources")
    roots = sorted({os.path.realpath(tree) for tree in trees})
    if not roots:
        return []
    newest = max(roots, key=_version_key)
    found = sorted(glob.glob(os.path.join(newest, "**", "*.txt"), recursive=True))
    return distinct_files(found)


def _candidate(package: str) -> bool:
    policy = subprocess.run(["apt-cache", "policy", package], capture_output=True, text=True)
    return "Candidate:" in policy.stdout and "Candidate: (none)" not in policy.stdout


def _install_docs() -> None:
    if os.geteuid() != 0 or shutil.which("apt-get") is None:
        return
    env = {**os.environ, "DEBIAN_FRONTEND": "noninteractive"}
    if not any(_candidate(package) for package in DOC_PACKAGES):
        # A fresh machine may have no package lists yet.
        print("apt-get update for a prose corpus ...", file=sys.stderr)
        subprocess.run(["apt-get", "update", "-q"], capture_output=True, text=True, env=env)
    for package in DOC_PACKAGES:
        if not _candidate(package):
            continue
        print(f"installing {package} for a prose corpus ...", file=sys.stderr)
        result = subprocess.run(
            ["apt-get", "install", "-y", "-q", package], capture_output=True, text=True, env=env
        )
        if result.returncode == 0:
            return


def python_docs(install: bool = True) -> list[str] | None:
    """The documentation's reStructuredText sources, or None when they cannot be had."""
    files = _doc_source_files()
    if not files and install and os.environ.get(NO_INSTALL_ENV) != "1":
        _install_docs()
        files = _doc_source_files()
    return files or None


def utf8_texts(paths: list[str]) -> list[tuple[str, str]]:
    """(path, text as the encoder reads it) of the files that are valid UTF-8 (a few test files
    of the standard library are not)."""
    texts = []
    for path in paths:
        try:
            with open(path, encoding="utf-8") as f:
                texts.append((path, f.read()))
        except UnicodeDecodeError:
            continue
    return texts


def utf8_files(paths: list[str]) -> list[str]:
    return [path for path, _ in utf8_texts(paths)]


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
