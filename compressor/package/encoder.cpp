#include "compressor/methods.hpp"

namespace qvc {

PyObject* encode_files(MethodCall&) {
    PyErr_SetString(PyExc_NotImplementedError, "encode_files");
    return nullptr;
}

}  // namespace qvc
