#include "compressor/methods.hpp"

namespace qvc {

PyObject* reduce_compressor(MethodCall&) {
    PyErr_SetString(PyExc_NotImplementedError, "__reduce__");
    return nullptr;
}

PyObject* setstate_compressor(MethodCall&) {
    PyErr_SetString(PyExc_NotImplementedError, "__setstate__");
    return nullptr;
}

PyObject* unpickle_compressor(PyObject*, const BoundArgs&) {
    PyErr_SetString(PyExc_NotImplementedError, "__pyx_unpickle_QVCompressor");
    return nullptr;
}

}  // namespace qvc
