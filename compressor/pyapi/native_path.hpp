// A path argument as the operating system takes it, for code that opens files without the
// interpreter.
#pragma once

#include "compressor/pyapi/py_ref.hpp"

#include <string>

namespace qvc {

// The bytes the interpreter's `open` would turn `path` into without running any code of the
// caller's (an exact str or bytes); empty otherwise, and for a path `open` would refuse (empty,
// or holding a NUL), whose error the interpreter is to raise. Never leaves an exception set.
std::string native_path(PyObject* path);

}  // namespace qvc
