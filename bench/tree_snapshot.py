"""What a round trip of a directory tree must keep, in one comparable value."""

from __future__ import annotations

import os
import stat


def snapshot(root: str | os.PathLike, leave_out: frozenset[str] = frozenset()) -> dict[str, tuple]:
    """Every entry under `root` by its path relative to `root`: the kind, the exact bytes or
    link target, the permission bits and the modification time. Paths in `leave_out` (as
    os.walk joins them) are not looked at; FIFOs, sockets and devices never are."""
    entries = {}
    for directory, subdirectories, files in os.walk(root):
        for name in subdirectories + files:
            path = os.path.join(directory, name)
            if path in leave_out:
                continue
            info = os.lstat(path)
            relative = os.path.relpath(path, root)
            if stat.S_ISLNK(info.st_mode):
                entries[relative] = ("link", os.readlink(path), info.st_mtime_ns)
            elif stat.S_ISDIR(info.st_mode):
                entries[relative] = ("dir", stat.S_IMODE(info.st_mode), info.st_mtime_ns)
            elif stat.S_ISREG(info.st_mode):
                with open(path, "rb") as f:
                    entries[relative] = ("file", stat.S_IMODE(info.st_mode), info.st_mtime_ns, f.read())
    return entries
