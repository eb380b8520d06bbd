import os as os
import pickle as pickle
import re as re
import struct as struct
from typing import Any, SupportsInt

import zstandard as zstd
from typing_extensions import disjoint_base

from _typeshed import StrOrBytesPath

@disjoint_base
class QVCompressor:
    dict_path: Any
    global_dict: Any
    inverse_dict: Any
    @property
    def next_id(self) -> int: ...
    @next_id.setter
    def next_id(self, value: SupportsInt) -> None: ...
    def __init__(self, dict_path: Any = "vornakel_dict.bin") -> None: ...
    def load_dict(self) -> None: ...
    def save_dict(self) -> None: ...
    def tokenize(self, text: str | None) -> list[str]: ...
    def detokenize(self, tokens: list[str] | None) -> str: ...
    def encode_files(
        self,
        filepaths: list[StrOrBytesPath] | None,
        output_path: str | None,
        zstd_level: SupportsInt = 6,
        threads: SupportsInt = 4,
    ) -> int: ...
    def decode_package(
        self, package_path: str | None, output_dir: str | None, use_zstd: object = True
    ) -> Any: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, __pyx_state: tuple[Any, ...] | None, /) -> None: ...

def __pyx_unpickle_QVCompressor(
    __pyx_type: type[QVCompressor], __pyx_checksum: SupportsInt, __pyx_state: tuple[Any, ...] | None
) -> QVCompressor: ...
