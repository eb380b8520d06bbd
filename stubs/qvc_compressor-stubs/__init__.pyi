import os as os
import pickle as pickle
import re as re
import struct as struct
from typing import Any, SupportsInt, TypeVar

import zstandard as zstd
from _typeshed import StrOrBytesPath, StrPath
from typing_extensions import disjoint_base

# Lists are invariant: a type variable lets list[str], list[Path] and list[str | Path] all pass.
_InputPath = TypeVar("_InputPath", bound=StrPath)
_Compressor = TypeVar("_Compressor", bound=QVCompressor)

@disjoint_base
class QVCompressor:
    """Word-level text compressor: a vocabulary of tokens and ids, and packages of compressed ids.

    Not for use from two threads at once; only `save_dict` writes the dictionary file."""

    # The three attributes accept any object at runtime (an object made by `__new__` alone holds
    # None in each); the types below are what a constructed object holds and every method needs.
    dict_path: StrOrBytesPath
    """Path of the dictionary file that `load_dict` reads and `save_dict` writes."""
    global_dict: dict[str, int]
    """Token to id: the very mapping the object works with, not a copy."""
    inverse_dict: dict[int, str]
    """Id to token: the inversion of `global_dict`."""
    @property
    def next_id(self) -> int:
        """The id the next new token receives, a signed 32-bit integer.

        A value outside -2**31 to 2**31-1 raises OverflowError; deleting raises."""

    @next_id.setter
    def next_id(self, value: SupportsInt) -> None: ...
    def __init__(self, dict_path: StrOrBytesPath = "vornakel_dict.bin") -> None:
        """Starts with an empty vocabulary and `next_id` 1, then loads `dict_path` if it exists.

        A dictionary file that cannot be read or unpickled raises, as in `load_dict`."""

    def load_dict(self) -> None:
        """Replaces the vocabulary with the dictionary file's; does nothing when no file exists.

        An unreadable file raises OSError; a damaged or unsafe one the unpickler's error."""

    def save_dict(self) -> None:
        """Writes `global_dict` and `next_id` to the dictionary file, replacing it atomically.

        On failure (OSError, or a vocabulary that cannot be pickled) an earlier file is kept."""

    def tokenize(self, text: str) -> list[str]:
        """Splits `text` into maximal runs of whitespace and of non-whitespace characters.

        Exactly `str`: a subclass of `str` raises TypeError."""

    def detokenize(self, tokens: list[str]) -> str:
        """Joins the tokens into one string.

        Exactly `list`: a tuple or a subclass of `list` raises TypeError, as does a non-str item."""

    def encode_files(
        self,
        filepaths: list[_InputPath],
        output_path: str,
        zstd_level: SupportsInt = 6,
        threads: SupportsInt = 4,
    ) -> int:
        """Packs the UTF-8 text files into one package; returns the compressed stream's length.

        A missing (OSError) or non-UTF-8 file (UnicodeDecodeError) writes nothing, adds no token."""

    def decode_package(
        self, package_path: str, output_dir: str, use_zstd: object = True
    ) -> list[str]:
        """Restores the files into `output_dir`, adopting the stored vocabulary; returns the names.

        Unsafe content raises before anything is written: pickle.UnpicklingError, ValueError."""

    def __reduce__(self) -> tuple[Any, ...]:
        """The object's whole state, for pickling and copying."""

    def __setstate__(self, __pyx_state: tuple[Any, ...], /) -> None:
        """Replaces the object's fields with those of a state that `__reduce__` made."""

def __pyx_unpickle_QVCompressor(
    __pyx_type: type[_Compressor], __pyx_checksum: SupportsInt, __pyx_state: tuple[Any, ...] | None
) -> _Compressor:
    """Rebuilds a pickled compressor.

    A checksum that names another field layout raises pickle.PickleError."""
