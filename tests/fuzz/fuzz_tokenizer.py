"""Fuzzes tokenize against re.findall, and the detokenize round trip."""

import re
import sys

import atheris

with atheris.instrument_imports():
    import qvc_compressor

COMPRESSOR = qvc_compressor.QVCompressor.__new__(qvc_compressor.QVCompressor)
PATTERN = re.compile(r"\S+|\s+")
# Code points around every class boundary, so short inputs reach them often.
INTERESTING = [chr(c) for c in (
    0x00, 0x08, 0x09, 0x0D, 0x0E, 0x1B, 0x1C, 0x1F, 0x20, 0x21, 0x84, 0x85, 0x86, 0x9F, 0xA0,
    0xA1, 0xFF, 0x100, 0x167F, 0x1680, 0x1681, 0x1FFF, 0x2000, 0x200A, 0x200B, 0x2027, 0x2028,
    0x2029, 0x202A, 0x202E, 0x202F, 0x2030, 0x205E, 0x205F, 0x2060, 0x2FFF, 0x3000, 0x3001,
    0xD800, 0xDFFF, 0xFEFF, 0xFFFF, 0x10000, 0x10FFFF)]


def TestOneInput(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    if fdp.ConsumeBool():
        text = fdp.ConsumeUnicode(len(data))
    else:
        text = "".join(INTERESTING[b % len(INTERESTING)] if b & 1 else chr(b >> 1) for b in fdp.ConsumeBytes(len(data)))
    tokens = COMPRESSOR.tokenize(text)
    expected = PATTERN.findall(text)
    if tokens != expected:
        raise AssertionError(f"tokenize({text!r}) = {tokens!r}, re.findall gives {expected!r}")
    if COMPRESSOR.detokenize(tokens) != text:
        raise AssertionError(f"detokenize(tokenize({text!r})) differs")


if __name__ == "__main__":
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
