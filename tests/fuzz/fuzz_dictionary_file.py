"""Fuzzes load_dict with mutated dictionary files."""

import os
import sys
import tempfile

import atheris

with atheris.instrument_imports():
    from fuzz_common import EXPECTED_ERRORS, Delivery, damaged_pickle
    import qvc_compressor

DELIVERY = Delivery(
    tempfile.mkdtemp(prefix="dictionary-", dir=os.environ.get("QVC_FUZZ_SCRATCH")), "vocab.bin")


def structured_file(fdp: atheris.FuzzedDataProvider) -> bytes:
    vocabulary = {fdp.ConsumeUnicode(5): fdp.ConsumeIntInRange(-(2**33), 2**33) for _ in range(fdp.ConsumeIntInRange(0, 6))}
    content = {"dict": vocabulary, "next_id": fdp.ConsumeIntInRange(-(2**33), 2**33)}
    if fdp.ConsumeBool():
        content["extra"] = [set(vocabulary), bytearray(fdp.ConsumeBytes(4)), fdp.ConsumeBytes(3)]
    return damaged_pickle(fdp, content)


def TestOneInput(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    through_pipe = fdp.ConsumeBool()
    content = structured_file(fdp) if fdp.ConsumeBool() else fdp.ConsumeBytes(len(data))
    compressor = qvc_compressor.QVCompressor.__new__(qvc_compressor.QVCompressor)
    compressor.dict_path = DELIVERY.path(content, through_pipe)
    try:
        compressor.load_dict()
    except EXPECTED_ERRORS:
        return
    finally:
        DELIVERY.done()
    # What loaded must be consistent: the inversion of what was adopted.
    if type(compressor.global_dict) is dict:
        expected = {}
        for token, token_id in compressor.global_dict.items():
            expected[token_id] = token
        if compressor.inverse_dict != expected:
            raise AssertionError("inverse_dict is not the inversion of global_dict")


if __name__ == "__main__":
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
