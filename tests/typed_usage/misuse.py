"""Mistakes that fail at run time, each of which a type checker must flag on its own line with
the error code after `flags:`."""

from pathlib import Path

from qvc_compressor import QVCompressor

compressor = QVCompressor()
compressor.tokenize(None)  # flags: arg-type
compressor.tokenize(b"bytes")  # flags: arg-type
compressor.detokenize(None)  # flags: arg-type
compressor.detokenize(("to", " ", "be"))  # flags: arg-type
compressor.detokenize([1, 2])  # flags: list-item
compressor.encode_files(None, "out.qvc")  # flags: arg-type
compressor.encode_files(("a.txt", "b.txt"), "out.qvc")  # flags: arg-type
compressor.encode_files([b"a.txt"], "out.qvc")  # flags: type-var
compressor.encode_files(["a.txt"], None)  # flags: arg-type
compressor.encode_files(["a.txt"], Path("out.qvc"))  # flags: arg-type
compressor.encode_files(["a.txt"], "out.qvc", zstd_level="6")  # flags: arg-type
compressor.encode_files(["a.txt"], "out.qvc", level=6)  # flags: call-arg
compressor.decode_package(None, "out")  # flags: arg-type
compressor.decode_package("texts.qvc", None)  # flags: arg-type
compressor.decode_package("texts.qvc", Path("out"))  # flags: arg-type
compressor.decode_package("texts.qvc")  # flags: call-arg
names: list[bytes] = compressor.decode_package("texts.qvc", "out")  # flags: assignment
compressor.next_id = "7"  # flags: assignment
compressor.global_dict = {1: "to"}  # flags: dict-item
compressor.__setstate__(None)  # flags: arg-type
compressor.vocabulary = {}  # flags: attr-defined
QVCompressor(None)  # flags: arg-type
