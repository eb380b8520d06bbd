"""Fuzzes decode_package with raw bytes and with mutated packages.

Beyond not crashing, every input must leave nothing outside the output directory.
"""

import os
import shutil
import sys
import tempfile

import atheris
import zstandard

with atheris.instrument_imports():
    from fuzz_common import EXPECTED_ERRORS, Delivery, damaged_pickle
    import qvc_compressor

WORKDIR = tempfile.mkdtemp(prefix="decoder-", dir=os.environ.get("QVC_FUZZ_SCRATCH"))
DELIVERY = Delivery(WORKDIR, "input.qvc")
OUTPUT = os.path.join(WORKDIR, "out")


def structured_package(fdp: atheris.FuzzedDataProvider) -> bytes:
    """A package whose parts are drawn from the input: plausible enough to get past the
    unpickler and exercise decoding, boundaries and names."""
    vocabulary = {}
    for _ in range(fdp.ConsumeIntInRange(0, 8)):
        vocabulary[fdp.ConsumeUnicodeNoSurrogates(6)] = fdp.ConsumeIntInRange(-3, 2**31 + 3)
    records = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 64))
    compressed = records if fdp.ConsumeBool() else zstandard.ZstdCompressor().compress(records)
    boundaries = [fdp.ConsumeIntInRange(-20, 40) for _ in range(fdp.ConsumeIntInRange(0, 4))]
    names = [fdp.ConsumeUnicode(8) for _ in range(fdp.ConsumeIntInRange(0, 4))]
    package = {"compressed": compressed, "file_boundaries": boundaries, "filenames": names,
               "global_dict": vocabulary}
    return damaged_pickle(fdp, package)


def TestOneInput(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    use_zstd = fdp.ConsumeBool()
    through_pipe = fdp.ConsumeBool()
    package = structured_package(fdp) if fdp.ConsumeBool() else fdp.ConsumeBytes(len(data))
    compressor = qvc_compressor.QVCompressor.__new__(qvc_compressor.QVCompressor)
    try:
        compressor.decode_package(DELIVERY.path(package, through_pipe), OUTPUT, use_zstd)
    except EXPECTED_ERRORS:
        pass
    finally:
        DELIVERY.done()
    stray = set(os.listdir(WORKDIR)) - {"input.qvc", "input.qvc.fifo", "out"}
    if stray:
        raise AssertionError(f"decoding wrote outside the output directory: {stray}")
    shutil.rmtree(OUTPUT, ignore_errors=True)


if __name__ == "__main__":
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
