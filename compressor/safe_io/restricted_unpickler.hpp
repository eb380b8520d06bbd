// Reading pickle streams that arrive from elsewhere (dictionary files, packages) without letting
// them run code: the unpickler resolves no global but a few harmless ones.
#pragma once

#include "compressor/pyapi/py_ref.hpp"

namespace qvc {

enum class UnpicklePurpose {
    // set, frozenset, bytearray, bytes and _codecs.encode (byte strings of old protocols)
    DictionaryFile,
    // bytes and _codecs.encode only: a package holds a dict, lists, ints, strs and bytes
    Package,
};

// Unpickles one object from the binary file object `file` with a subclass of the module
// namespace's `pickle.Unpickler` whose `find_class` refuses every global the purpose does not
// allow, raising `pickle.UnpicklingError` that names it. Every protocol the interpreter reads
// stays readable. The stream is read from `file` only as far as it goes, its declared sizes
// checked first (safe_io/pickle_source.hpp), and the unpickling answers signals.
PyRef restricted_load(PyObject* module, UnpicklePurpose purpose, PyObject* file);

}  // namespace qvc
