"""What the fuzz targets share: the exception types an input may legitimately cause, and the
way they turn fuzzer input into a plausible but damaged pickle stream."""

import pickle

import zstandard

# The interpreter's own errors for malformed input (including what the unpickler raises for a
# damaged stream), the binding's, and our refusals. MemoryError, SystemError and anything else
# is a bug: no small input may exhaust memory or reach an inconsistent state.
EXPECTED_ERRORS = (
    pickle.UnpicklingError,
    EOFError,
    ValueError,  # includes UnicodeDecodeError / UnicodeEncodeError
    TypeError,
    KeyError,
    AttributeError,
    OverflowError,
    IndexError,
    zstandard.ZstdError,
    OSError,
)


def damaged_pickle(fdp, obj) -> bytes:
    """`obj` pickled under a protocol the input picks, with up to three bytes changed, so that
    mutations reach the unpickler past its first opcodes."""
    data = bytearray(pickle.dumps(obj, protocol=fdp.ConsumeIntInRange(0, pickle.HIGHEST_PROTOCOL)))
    for _ in range(fdp.ConsumeIntInRange(0, 3)):
        if data:
            data[fdp.ConsumeIntInRange(0, len(data) - 1)] = fdp.ConsumeIntInRange(0, 255)
    return bytes(data)
