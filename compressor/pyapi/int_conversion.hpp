// The one rule by which an interpreter value becomes a signed 32-bit integer (and the 64-bit
// variant that the pickled-state checksum uses).
#pragma once

#include "compressor/pyapi/py_ref.hpp"

#include <cstdint>

namespace qvc {

// Converts `value` as the `next_id` attribute, the dictionary file, the integer arguments and
// package ids do: ints (and subclasses) as they are, anything else through its type's `__int__`
// slot; out of range raises OverflowError "value too large to convert to int". Returns false with
// an exception set on failure.
bool to_int32(PyObject* value, int32_t* out);

// The same protocol for a signed 64-bit integer; out of range raises the interpreter's own
// OverflowError.
bool to_int64(PyObject* value, int64_t* out);

}  // namespace qvc
