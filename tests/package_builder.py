"""Package files written in plain Python, for decoder tests that must not depend on the encoder.

A package is a pickle of a dict with the keys "compressed" (one Zstandard frame holding the
4-byte big-endian token ids), "file_boundaries" (each file's exclusive end index in the token
sequence), "filenames" and "global_dict" (token -> id).
"""

from __future__ import annotations

import pickle
import re
import struct

import zstandard

_TOKEN = re.compile(r"\S+|\s+")
MISSING = object()


def pack_records(ids) -> bytes:
    """The packed token stream: one 4-byte big-endian record per id (0 to 2**32 - 1)."""
    ids = list(ids)
    return struct.pack(f">{len(ids)}I", *ids)


def compress(stream: bytes) -> bytes:
    return zstandard.ZstdCompressor().compress(stream)


def package_dict(
    *,
    compressed=MISSING,
    file_boundaries=MISSING,
    filenames=MISSING,
    global_dict=MISSING,
    **extra,
) -> dict:
    """The package dict with its keys in the writer's order; a key given as MISSING is left out."""
    entries = {
        "compressed": compressed,
        "file_boundaries": file_boundaries,
        "filenames": filenames,
        "global_dict": global_dict,
        **extra,
    }
    return {key: value for key, value in entries.items() if value is not MISSING}


def write_package(path, package, protocol=None) -> None:
    with open(path, "wb") as f:
        pickle.dump(package, f, protocol=protocol)


def package_of_ids(ids, boundaries, names, vocabulary, *, compressed=True, **extra) -> dict:
    stream = pack_records(ids)
    return package_dict(
        compressed=compress(stream) if compressed else stream,
        file_boundaries=list(boundaries),
        filenames=list(names),
        global_dict=vocabulary,
        **extra,
    )


def package_of_texts(files, vocabulary=None) -> dict:
    """The package an encoder with `vocabulary` (default empty, ids from 1) writes for `files`,
    a list of (name, text); the vocabulary grows in place."""
    vocabulary = {} if vocabulary is None else vocabulary
    next_id = max(vocabulary.values(), default=0) + 1
    ids, boundaries, names = [], [], []
    for name, text in files:
        for token in _TOKEN.findall(text):
            if token not in vocabulary:
                vocabulary[token] = next_id
                next_id += 1
            ids.append(vocabulary[token])
        boundaries.append(len(ids))
        names.append(name)
    return package_of_ids(ids, boundaries, names, vocabulary)
