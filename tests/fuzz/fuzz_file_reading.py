"""Fuzzes the encoder's own reading of files against the interpreter's text-mode reading: the
same tokens and ids for a file the interpreter reads, the same UnicodeDecodeError for one it
refuses."""

import os
import pickle
import re
import sys
import tempfile

import atheris

with atheris.instrument_imports():
    import qvc_compressor
    import zstandard

PATTERN = re.compile(r"\S+|\s+")
DIRECTORY = tempfile.mkdtemp(prefix="file-reading-", dir=os.environ.get("QVC_FUZZ_SCRATCH"))
INPUT = os.path.join(DIRECTORY, "input.txt")
OUTPUT = os.path.join(DIRECTORY, "package.qvc")
# Byte sequences around every class and validity boundary of UTF-8, so short inputs reach them.
PIECES = [bytes.fromhex(h) for h in (
    "09", "0d", "0a", "0d0a", "1c", "20", "21", "7f", "c285", "c2a0", "c2a1", "c280", "c0af",
    "e19a80", "e28080", "e2808a", "e2808b", "e280a8", "e280a9", "e280af", "e2819f", "e38080",
    "e0a080", "e09f80", "eda080", "ed9fbf", "efbbbf", "f0908080", "f48fbfbf", "f4908080", "ff",
    "80", "e3", "e380", "f09f98")]


def TestOneInput(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    if fdp.ConsumeBool():
        content = fdp.ConsumeBytes(len(data))
    else:
        content = b"".join(PIECES[b % len(PIECES)] if b & 1 else bytes([b >> 1])
                           for b in fdp.ConsumeBytes(len(data)))
    with open(INPUT, "wb") as f:
        f.write(content)
    try:
        with open(INPUT, encoding="utf-8") as f:
            text = f.read()
    except UnicodeDecodeError as expected:
        try:
            qvc_compressor.QVCompressor("absent.bin").encode_files([INPUT], OUTPUT)
        except UnicodeDecodeError as raised:
            if (str(raised), raised.start, raised.end) != (str(expected), expected.start, expected.end):
                raise AssertionError(f"{content!r}: {raised!r}, the interpreter: {expected!r}")
            return
        raise AssertionError(f"{content!r} was read although the interpreter refuses it")
    compressor = qvc_compressor.QVCompressor("absent.bin")
    compressor.encode_files([INPUT], OUTPUT)
    vocabulary = {}
    for token in PATTERN.findall(text):
        vocabulary.setdefault(token, len(vocabulary) + 1)
    if list(compressor.global_dict.items()) != list(vocabulary.items()):
        raise AssertionError(f"{content!r}: tokens {list(compressor.global_dict)!r}")
    with open(OUTPUT, "rb") as f:
        stream = zstandard.ZstdDecompressor().decompress(pickle.load(f)["compressed"])
    ids = [vocabulary[token] for token in PATTERN.findall(text)]
    if stream != b"".join(i.to_bytes(4, "big") for i in ids):
        raise AssertionError(f"{content!r}: stream differs")


if __name__ == "__main__":
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
