"""Everything a caller does with qvc_compressor, as a strict type checker must accept it."""

from __future__ import annotations

import copy
import os
import pickle
import sys
from pathlib import Path

from typing_extensions import assert_type

import qvc_compressor
from qvc_compressor import QVCompressor


class Lowercasing(QVCompressor):
    def tokenize(self, text: str) -> list[str]:
        return super().tokenize(text.lower())


def pack_and_restore(sources: list[str], directory: Path) -> list[str]:
    compressor = QVCompressor(str(directory / "vocab.bin"))
    compressed_size = compressor.encode_files(sources, str(directory / "texts.qvc"))
    assert_type(compressed_size, int)
    mixed: list[str | Path] = [directory / "a.txt", "b.txt"]
    compressor.encode_files(mixed, "mixed.qvc", zstd_level=19, threads=0)
    compressor.encode_files(filepaths=[Path("a.txt")], output_path="p.qvc", zstd_level=3.0)
    compressor.save_dict()
    compressor.load_dict()

    restorer = QVCompressor(Path("other.bin"))
    names = restorer.decode_package(str(directory / "texts.qvc"), str(directory / "out"))
    assert_type(names, list[str])
    restorer.decode_package("raw.qvc", "out", use_zstd=False)
    return [name.upper() for name in names]


def vocabulary(compressor: QVCompressor) -> None:
    assert_type(compressor.global_dict, dict[str, int])
    assert_type(compressor.inverse_dict, dict[int, str])
    assert_type(compressor.next_id, int)
    largest = max(compressor.global_dict.values(), default=0)
    compressor.next_id = largest + 1
    compressor.next_id = True
    compressor.global_dict = {"to": 1}
    compressor.inverse_dict = {1: "to"}
    compressor.dict_path = b"vocab.bin"
    compressor.dict_path = os.path.join("data", "vocab.bin")
    for token, token_id in compressor.global_dict.items():
        print(token.strip(), token_id + 1)


def text(compressor: QVCompressor) -> str:
    tokens = compressor.tokenize("to be,  or not")
    assert_type(tokens, list[str])
    return compressor.detokenize(tokens) + Lowercasing().detokenize(["A", " ", "b"])


def state(compressor: QVCompressor) -> QVCompressor:
    clone = pickle.loads(pickle.dumps(compressor))
    assert isinstance(clone, QVCompressor)
    rebuilt = qvc_compressor.__pyx_unpickle_QVCompressor(Lowercasing, 0x3E12E10, None)
    assert_type(rebuilt, Lowercasing)
    rebuilt.__setstate__(("vocab.bin", {}, {}, 1))
    return copy.deepcopy(clone)


if __name__ == "__main__":
    print(text(QVCompressor()), file=sys.stderr)
