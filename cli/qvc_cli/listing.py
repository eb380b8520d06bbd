"""`qvc info` / `qvc list`: what a package holds, one line per entry, without restoring it.

A package with a manifest of version 2 says everything here itself: sizes, modes, times, each
file's token count and where the vocabulary lies; the package's own entries are not read beyond
the compressed stream's header. Older packages are walked (see package_format), which takes time
in proportion to the vocabulary but no more memory than a few pieces of the file.
"""

from __future__ import annotations

import base64
import contextlib
import json
import os
import stat
import sys
import time
from dataclasses import dataclass

from qvc_cli.failures import Failure, counted
from qvc_cli.file_kinds import require_package
from qvc_cli.manifest import (DirectoryEntry, FileEntry, HardLinkEntry, LinkEntry, Manifest, belongs_to_the_pickle,
                              read_at, read_from_package)
from qvc_cli.package_format import PackageError, token_counts
from qvc_cli.package_problems import describe
from qvc_cli.progress import Phase, Progress, bytes_read, wanted
from qvc_cli.streams import package_argument

_KIND_BITS = {"file": stat.S_IFREG, "directory": stat.S_IFDIR, "link": stat.S_IFLNK, "hardlink": stat.S_IFREG}


@dataclass
class Row:
    kind: str  # "file", "directory", "link" or "hardlink"
    path: str
    size: int | None = None
    mode: int | None = None
    mtime_ns: int | None = None
    tokens: int | None = None
    target: str | None = None
    name_in_package: str | None = None
    path_bytes: bytes = b""  # the path exactly as stored, whatever its encoding
    target_bytes: bytes | None = None


@dataclass
class Description:
    package: str
    package_bytes: int
    manifest_version: int | None
    rows: list[Row]
    vocabulary_entries: int | None
    vocabulary_bytes: int | None
    compressed_bytes: int | None
    stream_bytes: int | None
    trailing_bytes: int = 0  # after the package's pickle, read by nothing


def _rows_from_manifest(manifest: Manifest, counts: list[int] | None) -> list[Row]:
    rows = []
    files_by_path: dict[str, Row] = {}
    file_number = 0
    for entry in manifest.entries:
        path = os.fsdecode(entry.path)
        if isinstance(entry, FileEntry):
            tokens = counts[file_number] if counts is not None and file_number < len(counts) else None
            rows.append(Row("file", path, entry.size, entry.mode, entry.mtime_ns, tokens,
                            name_in_package=entry.name_in_package, path_bytes=entry.path))
            files_by_path[path] = rows[-1]
            file_number += 1
        elif isinstance(entry, DirectoryEntry):
            rows.append(Row("directory", path, mode=entry.mode, mtime_ns=entry.mtime_ns, path_bytes=entry.path))
        elif isinstance(entry, LinkEntry):
            rows.append(Row("link", path, mode=0o777, mtime_ns=entry.mtime_ns, target=os.fsdecode(entry.target),
                            path_bytes=entry.path, target_bytes=entry.target))
        elif isinstance(entry, HardLinkEntry):
            # A second name of a file listed before it: its mode and time, no size of its own.
            file = files_by_path[os.fsdecode(entry.target)]
            rows.append(Row("hardlink", path, mode=file.mode, mtime_ns=file.mtime_ns, target=file.path,
                            path_bytes=entry.path, target_bytes=entry.target))
    return rows


def describe_package(path: str, shown: str) -> Description:
    """What the package's pickle holds, the same pickle `unpack` restores from. A manifest of
    version 2 that belongs to it says nearly everything; otherwise the pickle is walked."""
    require_package(path, shown)
    try:
        manifest = read_from_package(path)
        complete = (manifest is not None and manifest.token_counts is not None
                    and belongs_to_the_pickle(manifest))
        described = describe(path, shown, head_only=complete)
        layout = described.layout
        if not complete:
            manifest = read_at(path, layout.manifest) if layout.manifest is not None else None
    except PackageError as error:
        raise Failure(f"{shown}: {error}") from None
    if manifest is not None:
        counts = manifest.token_counts
        if counts is None and layout.boundaries is not None:
            counts = token_counts(layout.boundaries, len(layout.names or []))
        rows = _rows_from_manifest(manifest, counts)
        version = 1 if manifest.token_counts is None else 2
    else:
        names = layout.names or []
        counts = token_counts(layout.boundaries or [], len(names))
        rows = [Row("file", name if isinstance(name, str) else "?", tokens=count, name_in_package=name,
                    path_bytes=os.fsencode(name) if isinstance(name, str) else b"")
                for name, count in zip(names, counts + [None] * (len(names) - len(counts)))]
        version = None
    place = manifest.vocabulary if complete else layout.vocabulary
    return Description(
        package=shown,
        package_bytes=layout.size,
        manifest_version=version,
        rows=rows,
        vocabulary_entries=place.entries if place is not None else 0,
        vocabulary_bytes=place.length if place is not None and place.length else None,
        compressed_bytes=layout.compressed.length if layout.compressed is not None else None,
        stream_bytes=described.stream_size,
        trailing_bytes=0 if complete or layout.end is None else layout.size - layout.end,
    )


def _printable(text: str) -> str:
    """`text` on one line of a terminal: control characters escaped, undecodable bytes kept."""
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() or c == " " else repr(c)[1:-1] for c in text)


def _when(mtime_ns: int | None) -> str:
    if mtime_ns is None:
        return "-"
    try:
        return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(mtime_ns / 1e9))
    except (OverflowError, OSError, ValueError):
        return "?"


def _mode_text(row: Row) -> str:
    if row.mode is None:
        return "?" * 10
    return stat.filemode(_KIND_BITS[row.kind] | row.mode)


def _share(description: Description) -> float | None:
    if description.vocabulary_bytes is None or not description.package_bytes:
        return None
    return description.vocabulary_bytes / description.package_bytes


def as_text(description: Description) -> str:
    lines = []
    for row in description.rows:
        size = "-" if row.size is None else str(row.size)
        tokens = "-" if row.tokens is None else str(row.tokens)
        path = _printable(row.path) + ("/" if row.kind == "directory" else "")
        if row.target is not None:
            path += (" link to " if row.kind == "hardlink" else " -> ") + _printable(row.target)
        lines.append(f"{_mode_text(row)} {size:>12} {_when(row.mtime_ns)} {tokens:>10}  {path}")
    files = [row for row in description.rows if row.kind == "file"]
    others = []
    directories = sum(row.kind == "directory" for row in description.rows)
    links = sum(row.kind == "link" for row in description.rows)
    if directories:
        others.append(counted(directories, "directory", "directories"))
    if links:
        others.append(counted(links, "link"))
    sizes = [row.size for row in files]
    size = f"{sum(sizes):,} bytes" if files and None not in sizes else "sizes not recorded"
    tokens = sum(row.tokens or 0 for row in files)
    extra = f" ({', '.join(others)})" if others else ""
    lines.append(f"total: {counted(len(files), 'file')}{extra}, {size}, {counted(tokens, 'token')}")
    vocabulary = f"vocabulary: {counted(description.vocabulary_entries or 0, 'token')}"
    share = _share(description)
    if share is not None:
        vocabulary += (f", {description.vocabulary_bytes:,} bytes, {share:.1%} of the package's "
                       f"{description.package_bytes:,} bytes")
    lines.append(vocabulary)
    stream = "unknown" if description.stream_bytes is None else f"{description.stream_bytes:,}"
    compressed = "unknown" if description.compressed_bytes is None else f"{description.compressed_bytes:,}"
    lines.append(f"stream: {compressed} bytes compressed, {stream} bytes decompressed")
    if description.manifest_version is None:
        lines.append("no manifest: paths, sizes, modes and times were not recorded; names as stored")
    if description.trailing_bytes:
        lines.append(f"trailing data: {trailing_words(description)}")
    return "\n".join(lines)


def trailing_words(description: Description) -> str:
    return (f"{counted(description.trailing_bytes, 'byte')} after the package's end, "
            f"from byte {description.package_bytes - description.trailing_bytes:,}, are not part of it")


def _text(text: str | None) -> str | None:
    """Valid Unicode for JSON: a byte that is not UTF-8 becomes U+FFFD (the `_bytes` fields keep
    it exactly)."""
    if text is None:
        return None
    return text.encode("utf-8", "surrogateescape").decode("utf-8", "replace") if not text.isascii() else text


def _base64(data: bytes | None) -> str | None:
    return None if data is None else base64.b64encode(data).decode("ascii")


def _iso(mtime_ns: int | None) -> str | None:
    if mtime_ns is None:
        return None
    try:
        return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(mtime_ns // 10**9)) + f".{mtime_ns % 10**9:09d}Z"
    except (OverflowError, OSError, ValueError):
        return None


def as_json(description: Description) -> str:
    files = [row for row in description.rows if row.kind == "file"]
    sizes = [row.size for row in files]
    entries = []
    for row in description.rows:
        entry = {"path": _text(row.path), "path_bytes": _base64(row.path_bytes), "kind": row.kind, "size": row.size,
                 "mode": None if row.mode is None else f"{row.mode:04o}",
                 "mtime": _iso(row.mtime_ns), "mtime_ns": row.mtime_ns, "tokens": row.tokens}
        if row.kind in ("link", "hardlink"):
            entry["target"] = _text(row.target)
            entry["target_bytes"] = _base64(row.target_bytes)
        if row.kind == "file":
            entry["name_in_package"] = _text(row.name_in_package)
        entries.append(entry)
    document = {
        "package": _text(description.package),
        "package_bytes": description.package_bytes,
        "trailing_bytes": description.trailing_bytes,
        "manifest_version": description.manifest_version,
        "entries": entries,
        "totals": {
            "files": len(files),
            "directories": sum(row.kind == "directory" for row in description.rows),
            "links": sum(row.kind == "link" for row in description.rows),
            "bytes": sum(sizes) if None not in sizes else None,
            "tokens": sum(row.tokens or 0 for row in files),
        },
        "vocabulary": {"entries": description.vocabulary_entries, "bytes": description.vocabulary_bytes,
                       "share": _share(description)},
        "stream": {"compressed_bytes": description.compressed_bytes,
                   "decompressed_bytes": description.stream_bytes},
    }
    return json.dumps(document, indent=2)


def run_info(args) -> int:
    with contextlib.ExitStack() as stack:
        progress = stack.enter_context(Progress(wanted(False)))
        package, shown = package_argument(stack, args.package, progress)
        with progress.stage(Phase("reading", bytes_read, os.path.getsize(package))):
            description = describe_package(package, shown)
        progress.stop()
    print(as_json(description) if args.json else as_text(description))
    sys.stdout.flush()
    return 0
