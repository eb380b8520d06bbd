// The built-in split, for callers inside the module.
#pragma once

#include "compressor/pyapi/py_ref.hpp"

namespace qvc {

// A new list of the tokens of `text`, which must be an exact str. Equal tokens share one object.
PyObject* split_into_tokens(PyObject* text);

}  // namespace qvc
