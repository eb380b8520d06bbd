"""Which stored files `qvc unpack PACKAGE NAME|GLOB...` restores.

A pattern matches a stored path exactly or as a shell glob (`*` matching `/` too, as in tar),
and a pattern that matches a directory takes everything below it.
"""

from __future__ import annotations

import fnmatch


def normalized(pattern: str) -> str:
    while pattern.startswith("./"):
        pattern = pattern[2:]
    return pattern.rstrip("/") or pattern


def matches(path: str, pattern: str) -> bool:
    """Whether `pattern` names `path` or a directory above it."""
    while True:
        if path == pattern or fnmatch.fnmatchcase(path, pattern):
            return True
        path, slash, _ = path.rpartition("/")
        if not slash:
            return False


def select(paths: list[str], patterns: list[str]) -> tuple[list[int], list[str]]:
    """The indices of `paths` that some pattern matches, and the patterns that match none."""
    wanted = [normalized(pattern) for pattern in patterns]
    used = [False] * len(wanted)
    chosen = []
    for index, path in enumerate(paths):
        hit = False
        for number, pattern in enumerate(wanted):
            if matches(path, pattern):
                used[number] = hit = True
        if hit:
            chosen.append(index)
    return chosen, [pattern for pattern, hit in zip(patterns, used) if not hit]


def with_parents(paths: list[str], chosen: list[int]) -> list[int]:
    """`chosen` and the indices of the directories above them, in stored order."""
    index_of = {path: index for index, path in enumerate(paths)}
    taken = set(chosen)
    for index in chosen:
        parent = paths[index]
        while "/" in parent:
            parent = parent.rpartition("/")[0]
            above = index_of.get(parent)
            if above is None or above in taken:
                continue
            taken.add(above)
    return sorted(taken)
