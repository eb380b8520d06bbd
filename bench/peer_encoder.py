"""encode_files as a competent Python user writes it: the regular expression's findall, the new
tokens found in one pass with dict.fromkeys, the ids looked up with dict.get into an
array('I'), byteswapped to big-endian, and one zstandard compress. It writes the same package as
the module on a consistent vocabulary (next_id above every id), which is all it handles."""

from __future__ import annotations

import os
import pickle
import re
import sys
from array import array

import zstandard as zstd

FINDALL = re.compile(r"\S+|\s+").findall


def encode_files(compressor, filepaths, output_path, zstd_level=6, threads=4):
    tokens, file_boundaries, filenames = [], [], []
    for path in filepaths:
        with open(path, encoding="utf-8") as f:
            tokens += FINDALL(f.read())
        file_boundaries.append(len(tokens))
        filenames.append(os.path.basename(path))

    global_dict, inverse_dict = compressor.global_dict, compressor.inverse_dict
    new_tokens = [token for token in dict.fromkeys(tokens) if token not in global_dict]
    first = compressor.next_id
    new_ids = range(first, first + len(new_tokens))
    global_dict.update(zip(new_tokens, new_ids))
    inverse_dict.update(zip(new_ids, new_tokens))
    compressor.next_id = first + len(new_tokens)

    ids = array("I", map(global_dict.get, tokens))
    if sys.byteorder == "little":
        ids.byteswap()
    compressed = zstd.ZstdCompressor(level=zstd_level, threads=threads).compress(ids)
    package = {
        "compressed": compressed,
        "file_boundaries": file_boundaries,
        "filenames": filenames,
        "global_dict": global_dict,
    }
    with open(output_path, "wb") as f:
        pickle.dump(package, f)
    return len(compressed)
