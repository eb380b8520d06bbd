"""decode_package as a competent Python user writes it: the inverse vocabulary in one
comprehension, the stream read into an array('I') and byteswapped, the tokens looked up with
dict.get in one map, each file's text one join of a slice. It trusts its package."""

from __future__ import annotations

import os
import pickle
import sys
from array import array
from itertools import repeat

import zstandard as zstd


class PeerDecoder:
    def __init__(self) -> None:
        self.global_dict: dict = {}
        self.inverse_dict: dict = {}

    def decode_package(self, package_path: str, output_dir: str, use_zstd: bool = True):
        with open(package_path, "rb") as f:
            package = pickle.load(f)
        self.global_dict = package.get("global_dict", {})
        self.inverse_dict = {token_id: token for token, token_id in self.global_dict.items()}
        data = package["compressed"]
        if use_zstd:
            data = zstd.ZstdDecompressor().decompress(data)
        ids = array("I")
        ids.frombytes(data[: len(data) // 4 * 4])
        if sys.byteorder == "little":
            ids.byteswap()
        tokens = list(map(self.inverse_dict.get, ids, repeat("<UNK>")))
        os.makedirs(output_dir, exist_ok=True)
        start = 0
        for boundary, filename in zip(package["file_boundaries"], package["filenames"]):
            with open(os.path.join(output_dir, filename), "w", encoding="utf-8", newline="") as f:
                f.write("".join(tokens[start:boundary]))
            start = boundary
        return package["filenames"]
