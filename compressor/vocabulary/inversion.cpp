#include "compressor/vocabulary/inversion.hpp"

#include "compressor/interpreter_calls.hpp"

namespace qvc {
namespace {

// Unpacks `pair` into two values with the interpreter's rules and messages for `a, b = pair`.
bool unpack_pair(PyObject* pair, PyRef& first, PyRef& second) {
    if (PyTuple_CheckExact(pair) || PyList_CheckExact(pair)) {
        Py_ssize_t size = PySequence_Fast_GET_SIZE(pair);
        if (size != 2) {
            if (size < 2) {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)",
                             size);
            } else {
                PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
            }
            return false;
        }
        first = PyRef::borrow(PySequence_Fast_GET_ITEM(pair, 0));
        second = PyRef::borrow(PySequence_Fast_GET_ITEM(pair, 1));
        return true;
    }
    PyRef iterator = PyRef::steal(PyObject_GetIter(pair));
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(pair)->tp_name);
        }
        return false;
    }
    PyRef* targets[2] = {&first, &second};
    for (Py_ssize_t i = 0; i < 2; ++i) {
        *targets[i] = PyRef::steal(PyIter_Next(iterator.get()));
        if (!*targets[i]) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)",
                             i);
            }
            return false;
        }
    }
    PyRef extra = PyRef::steal(PyIter_Next(iterator.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return false;
    }
    return !PyErr_Occurred();
}

}  // namespace

PyRef invert_vocabulary(ModuleState* st, PyObject* vocabulary) {
    PyRef inverse = PyRef::steal(PyDict_New());
    if (!inverse) {
        return {};
    }
    if (PyDict_CheckExact(vocabulary)) {
        Py_ssize_t pos = 0;
        PyObject *token, *id;
        while (PyDict_Next(vocabulary, &pos, &token, &id)) {
            // Hashing an id may run code that changes the vocabulary: hold on to both.
            PyRef held_token = PyRef::borrow(token);
            PyRef held_id = PyRef::borrow(id);
            if (PyDict_SetItem(inverse.get(), id, token) < 0) {
                return {};
            }
        }
        return inverse;
    }
    PyRef items = call_method(vocabulary, st->s_items);
    PyRef iterator = items ? PyRef::steal(PyObject_GetIter(items.get())) : PyRef{};
    if (!iterator) {
        return {};
    }
    while (PyRef pair = PyRef::steal(PyIter_Next(iterator.get()))) {
        PyRef token, id;
        if (!unpack_pair(pair.get(), token, id) ||
            PyDict_SetItem(inverse.get(), id.get(), token.get()) < 0) {
            return {};
        }
    }
    if (PyErr_Occurred()) {
        return {};
    }
    return inverse;
}

}  // namespace qvc
