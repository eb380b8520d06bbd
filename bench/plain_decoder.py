"""decode_package written out step by step in plain Python, the way the package format reads:
the yardstick that bench_decode.py measures the module against. It trusts its package (plain
pickle.load, names joined as they are), as the straightforward version would."""

from __future__ import annotations

import os
import pickle

import zstandard as zstd


class PlainDecoder:
    def __init__(self) -> None:
        self.global_dict: dict = {}
        self.inverse_dict: dict = {}
        self.next_id = 1

    def decode_package(self, package_path: str, output_dir: str, use_zstd: bool = True):
        with open(package_path, "rb") as f:
            package = pickle.load(f)
        self.global_dict = package.get("global_dict", {})
        inverse_dict = {}
        for token, token_id in self.global_dict.items():
            inverse_dict[token_id] = token
        self.inverse_dict = inverse_dict

        data = package["compressed"]
        if use_zstd:
            data = zstd.ZstdDecompressor().decompress(data)
        num_tokens = len(data) // 4
        get = self.inverse_dict.get
        restored_tokens = []
        for i in range(num_tokens):
            p = 4 * i
            token_id = (data[p] << 24) | (data[p + 1] << 16) | (data[p + 2] << 8) | data[p + 3]
            if token_id > 2147483647:
                raise OverflowError("value too large to convert to int")
            restored_tokens.append(get(token_id, "<UNK>"))

        os.makedirs(output_dir, exist_ok=True)
        start_idx = 0
        for boundary, filename in zip(package["file_boundaries"], package["filenames"]):
            if type(filename) is not str and filename is not None:
                raise TypeError(f"Expected str, got {type(filename).__name__}")
            path = os.path.join(output_dir, filename)
            with open(path, "w", encoding="utf-8", newline="") as f:
                f.write("".join(restored_tokens[start_idx:boundary]))
            start_idx = boundary
        return package["filenames"]
