"""What the fuzz targets share: the exception types an input may legitimately cause."""

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
