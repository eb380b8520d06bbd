#include "compressor/methods.hpp"

namespace qvc {

PyObject* decode_package(MethodCall&) {
    PyErr_SetString(PyExc_NotImplementedError, "decode_package");
    return nullptr;
}

}  // namespace qvc
