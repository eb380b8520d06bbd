"""encode_files written the straightforward way, in plain Python.

It is the yardstick for the module's encoder: the benchmark times it side by side with the
module, and the tests compare the packages both write, byte for byte. It follows the package
encoder's three phases literally (read and tokenize every file, give ids and pack, compress and
write) with re.findall, a dict, int.to_bytes and the same zstandard and pickle calls, and changes
the vocabulary of `compressor`, any object with the attributes `global_dict`, `inverse_dict` and
`next_id`, as the module does. It has none of the module's guards against an inconsistent
vocabulary, so it is to be compared on consistent ones only.
"""

from __future__ import annotations

import os
import pickle
import re

import zstandard as zstd

TOKEN_PATTERN = r"\S+|\s+"


def encode_files(compressor, filepaths, output_path, zstd_level=6, threads=4):
    all_tokens = []
    file_boundaries = []
    filenames = []
    for path in filepaths:
        with open(path, "r", encoding="utf-8") as f:
            text = f.read()
            all_tokens.extend(re.findall(TOKEN_PATTERN, text))
            file_boundaries.append(len(all_tokens))
            filenames.append(os.path.basename(path))

    global_dict = compressor.global_dict
    inverse_dict = compressor.inverse_dict
    packed_tokens = bytearray(4 * len(all_tokens))
    offset = 0
    for token in all_tokens:
        if token in global_dict:
            token_id = global_dict[token]
        else:
            token_id = compressor.next_id
            global_dict[token] = token_id
            inverse_dict[token_id] = token
            compressor.next_id = token_id + 1
        packed_tokens[offset : offset + 4] = token_id.to_bytes(4, "big")
        offset += 4

    compressed = zstd.ZstdCompressor(level=zstd_level, threads=threads).compress(packed_tokens)
    package = {
        "compressed": compressed,
        "file_boundaries": file_boundaries,
        "filenames": filenames,
        "global_dict": compressor.global_dict,
    }
    with open(output_path, "wb") as f:
        pickle.dump(package, f)
    return len(compressed)
