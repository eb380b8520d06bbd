"""What is wrong with a package, found and said the same way by every subcommand.

Every subcommand walks the package before it reads anything else (`unpack` and `check` before
they unpickle it), so one damaged file gets one message whichever subcommand met it; only what
the walk cannot see (the compressed stream's content) is said by the stream's reader.
"""

from __future__ import annotations

from dataclasses import dataclass

from qvc_cli.failures import Failure
from qvc_cli.package_format import (FRAME_HEADER_BYTES, PackageDamage, PackageError, PackageLayout, Span,
                                    Unsupported, VocabularyPlace, restricted_loads, stream_size, walk)


def damaged(shown: str, words: str) -> Failure:
    return Failure(f"{shown}: damaged qvc package ({words})")


@dataclass
class DescribedPackage:
    layout: PackageLayout
    stream_size: int | None


def _layout_by_unpickling(path: str) -> PackageLayout:
    """The layout of a package the walk does not follow, from its unpickled objects (the
    vocabulary's place in the stream unknown)."""
    with open(path, "rb") as f:
        data = f.read()
    try:
        package = restricted_loads(data)
    except PackageError as error:
        raise PackageDamage(str(error).removeprefix("not a package: ")) from None
    if type(package) is not dict:
        raise PackageDamage("it holds something else than a dict")
    layout = PackageLayout(len(data), keys=list(package))
    for key, words in (("compressed", "compressed stream"), ("file_boundaries", "file boundaries"),
                       ("filenames", "file names")):
        if key not in package:
            raise PackageDamage(f"it has no {words}")
    compressed = package["compressed"]
    if not isinstance(compressed, (bytes, bytearray)):
        raise PackageDamage("its compressed stream is not a byte string")
    layout.compressed = Span(-1, len(compressed))
    layout.compressed_header = bytes(compressed[:FRAME_HEADER_BYTES])
    boundaries, names = package["file_boundaries"], package["filenames"]
    if type(boundaries) is not list or not all(type(b) is int for b in boundaries):
        raise PackageDamage("its file boundaries are not a list of numbers")
    if type(names) is not list:
        raise PackageDamage("its file names are not a list")
    layout.boundaries, layout.names = boundaries, names
    vocabulary = package.get("global_dict")
    if vocabulary is not None:
        if not isinstance(vocabulary, dict):
            raise PackageDamage("its vocabulary is not a dict")
        layout.vocabulary = VocabularyPlace(len(vocabulary), 0, 0)
    return layout


def describe(path: str, shown: str, head_only: bool = False) -> DescribedPackage:
    """The package's layout and its stream's size; with `head_only`, the walk stops after the
    compressed stream (the rest is known from the manifest). Failure naming `shown` for damage."""
    try:
        try:
            layout = walk(path, stop="compressed" if head_only else None)
        except Unsupported:
            layout = _layout_by_unpickling(path)
        size = stream_size(path, layout)
    except PackageDamage as damage:
        raise damaged(shown, str(damage)) from None
    return DescribedPackage(layout, size)
