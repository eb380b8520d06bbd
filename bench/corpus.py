"""Real text corpora for the benchmarks and the demo.

* ``stdlib_sources()``: the running interpreter's standard library sources (source code, about
  30 MB in some 1,700 files), present on every machine.
* ``python_docs()``: the reStructuredText sources of the Python documentation (English prose,
  about 11 MB in some 500 files), from Debian's ``python3.X-doc`` package, installed on first
  use when the machine allows it; ``None`` when it cannot be had.
* ``cjk_documents()``: the Debian Reference in Japanese and Chinese (HTML, about 4.5 MB in some
  30 files), from Debian's ``debian-reference-ja`` and ``-zh-cn`` packages, installed like the
  documentation; ``None`` when it cannot be had.
* ``small_documents()``: the system's documentation files of at most 64 KiB under
  /usr/share/doc (copyright notices, READMEs, HTML pages; some 3,000 files) that are valid UTF-8.
* ``big_text_file()``: one file of 400 MB under bench/.corpus/, the standard library's text
  files followed by the system's documentation and manual pages (decompressed), built once.

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
CJK_PACKAGES = ["debian-reference-ja", "debian-reference-zh-cn"]
CJK_ROOT = "/usr/share/debian-reference"
CORPUS_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), ".corpus")
BIG_FILE_BYTES = 400_000_000

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


def _install(packages: list[str], first_only: bool = True) -> None:
    """Installs the first of `packages` that apt offers (or each of them), when root."""
    if os.geteuid() != 0 or shutil.which("apt-get") is None:
        return
    env = {**os.environ, "DEBIAN_FRONTEND": "noninteractive"}
    if not any(_candidate(package) for package in packages):
        # A fresh machine may have no package lists yet.
        print("apt-get update for a corpus ...", file=sys.stderr)
        subprocess.run(["apt-get", "update", "-q"], capture_output=True, text=True, env=env)
    for package in packages:
        if not _candidate(package):
            continue
        print(f"installing {package} for a corpus ...", file=sys.stderr)
        result = subprocess.run(
            ["apt-get", "install", "-y", "-q", package], capture_output=True, text=True, env=env
        )
        if result.returncode == 0 and first_only:
            return


def _install_docs() -> None:
    _install(DOC_PACKAGES)


def python_docs(install: bool = True) -> list[str] | None:
    """The documentation's reStructuredText sources, or None when they cannot be had."""
    files = _doc_source_files()
    if not files and install and os.environ.get(NO_INSTALL_ENV) != "1":
        _install_docs()
        files = _doc_source_files()
    return files or None


def _cjk_files() -> list[str]:
    return sorted(glob.glob(os.path.join(CJK_ROOT, "*.ja.html"))
                  + glob.glob(os.path.join(CJK_ROOT, "*.zh-cn.html")))


def cjk_documents(install: bool = True) -> list[str] | None:
    """The Debian Reference in Japanese and Chinese, or None when it cannot be had."""
    files = _cjk_files()
    if not files and install and os.environ.get(NO_INSTALL_ENV) != "1":
        _install(CJK_PACKAGES, first_only=False)
        files = _cjk_files()
    return files or None


def _walk_files(root: str):
    """Regular files under `root` (links not followed), in sorted order."""
    for directory, subdirs, files in os.walk(root):
        subdirs.sort()
        for name in sorted(files):
            path = os.path.join(directory, name)
            if not os.path.islink(path) and os.path.isfile(path):
                yield path


def _is_utf8(data: bytes) -> bool:
    try:
        data.decode("utf-8")
    except UnicodeDecodeError:
        return False
    return True


def small_documents() -> list[str]:
    """Documentation files of at most 64 KiB under /usr/share/doc that are valid UTF-8 and not
    compressed, in sorted order."""
    found = []
    for path in _walk_files("/usr/share/doc"):
        if path.endswith(".gz") or os.path.getsize(path) > 65536:
            continue
        with open(path, "rb") as f:
            if _is_utf8(f.read()):
                found.append(path)
    return found


def _big_file_sources():
    """(name, bytes) of every valid UTF-8 text in the order the big file takes them."""
    import gzip

    roots = [sysconfig.get_paths()["stdlib"], "/usr/share/doc", "/usr/share/man"]
    for root in roots:
        for path in _walk_files(root):
            with open(path, "rb") as f:
                data = f.read()
            if path.endswith(".gz"):
                try:
                    data = gzip.decompress(data)
                except (OSError, EOFError):
                    continue
            if data and _is_utf8(data):
                yield path, data


def big_text_file() -> str:
    """The path of one text file of BIG_FILE_BYTES bytes, built on first use from the machine's
    own texts (the interpreter's standard library, then /usr/share/doc and /usr/share/man, each
    walked in sorted order, compressed files decompressed, files that are not valid UTF-8
    left out), cut at the last line end before the size; when they hold less, they are taken
    again from the start."""
    os.makedirs(CORPUS_DIR, exist_ok=True)
    path = os.path.join(CORPUS_DIR, f"big-{BIG_FILE_BYTES // 1_000_000}mb.txt")
    if os.path.exists(path) and os.path.getsize(path) <= BIG_FILE_BYTES:
        return path
    print(f"building {path} from the machine's texts ...", file=sys.stderr)
    python_docs()  # part of the documentation when it can be had
    cjk_documents()
    partial = path + ".partial"
    written = 0
    with open(partial, "wb") as out:
        while written < BIG_FILE_BYTES:
            before = written
            for _, data in _big_file_sources():
                room = BIG_FILE_BYTES - written
                if len(data) > room:
                    cut = data.rfind(b"\n", 0, room)
                    if cut >= 0:
                        out.write(data[: cut + 1])
                        written += cut + 1
                    written = BIG_FILE_BYTES
                    break
                out.write(data)
                written += len(data)
            if written == before:
                raise ValueError("no UTF-8 text found for the big file")
    os.replace(partial, path)
    return path


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
