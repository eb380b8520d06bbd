#include "compressor/pyapi/int_conversion.hpp"

#include <climits>

namespace qvc {
namespace {

// Turns a non-int value into an int through its type's integer-conversion slot. Only that slot
// counts: a type that offers nothing but `__index__` is refused, as is a str of digits.
PyRef int_from_conversion_slot(PyObject* value) {
    PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
    if (number == nullptr || number->nb_int == nullptr) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return {};
    }
    PyRef result = PyRef::steal(number->nb_int(value));
    if (!result) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_TypeError, "an integer is required");
        }
        return {};
    }
    if (PyLong_CheckExact(result.get())) {
        return result;
    }
    const char* result_type = Py_TYPE(result.get())->tp_name;
    if (!PyLong_Check(result.get())) {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", result_type);
        return {};
    }
    if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                         "__int__ returned non-int (type %.200s).  The ability to return an "
                         "instance of a strict subclass of int is deprecated, and may be removed "
                         "in a future version of Python.",
                         result_type) < 0) {
        return {};
    }
    return result;
}

bool long_to_int32(PyObject* number, int32_t* out) {
    int overflow = 0;
    long value = PyLong_AsLongAndOverflow(number, &overflow);
    if (value == -1 && PyErr_Occurred()) {
        return false;
    }
    if (overflow != 0 || value < INT32_MIN || value > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    *out = static_cast<int32_t>(value);
    return true;
}

bool long_to_int64(PyObject* number, int64_t* out) {
    long long value = PyLong_AsLongLong(number);
    if (value == -1 && PyErr_Occurred()) {
        return false;
    }
    *out = static_cast<int64_t>(value);
    return true;
}

}  // namespace

bool to_int32(PyObject* value, int32_t* out) {
    if (PyLong_Check(value)) {
        return long_to_int32(value, out);
    }
    PyRef number = int_from_conversion_slot(value);
    return number && long_to_int32(number.get(), out);
}

bool to_int64(PyObject* value, int64_t* out) {
    if (PyLong_Check(value)) {
        return long_to_int64(value, out);
    }
    PyRef number = int_from_conversion_slot(value);
    return number && long_to_int64(number.get(), out);
}

}  // namespace qvc
