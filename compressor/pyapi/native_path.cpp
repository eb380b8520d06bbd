#include "compressor/pyapi/native_path.hpp"

#include <cstring>

namespace qvc {

std::string native_path(PyObject* path) {
    PyObject* converted = nullptr;
    if (PyUnicode_CheckExact(path)) {
        if (!PyUnicode_FSConverter(path, &converted)) {
            PyErr_Clear();
            return {};
        }
    } else if (PyBytes_CheckExact(path)) {
        converted = Py_NewRef(path);
    } else {
        return {};
    }
    PyRef bytes = PyRef::steal(converted);
    const char* data = PyBytes_AS_STRING(bytes.get());
    const size_t length = static_cast<size_t>(PyBytes_GET_SIZE(bytes.get()));
    if (length == 0 || std::memchr(data, '\0', length) != nullptr) {
        return {};
    }
    return std::string(data, length);
}

}  // namespace qvc
