#include "compressor/pyapi/interpreter_calls.hpp"

namespace qvc {

PyRef module_global(PyObject* module, PyObject* name) {
    PyObject* namespace_dict = PyModule_GetDict(module);  // borrowed
    PyObject* found = PyDict_GetItemWithError(namespace_dict, name);
    if (found != nullptr) {
        return PyRef::borrow(found);
    }
    if (PyErr_Occurred()) {
        return {};
    }
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    if (builtins != nullptr) {
        found = PyDict_GetItemWithError(builtins, name);
        if (found != nullptr) {
            return PyRef::borrow(found);
        }
        if (PyErr_Occurred()) {
            return {};
        }
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

PyRef builtin(PyObject* name) {
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    PyObject* found = builtins == nullptr ? nullptr : PyDict_GetItemWithError(builtins, name);
    if (found != nullptr) {
        return PyRef::borrow(found);
    }
    if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return {};
}

PyRef optional_attr(PyObject* obj, PyObject* name) {
    PyRef value = PyRef::steal(PyObject_GetAttr(obj, name));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
    }
    return value;
}

PyRef open_file(ModuleState* st, PyObject* path, PyObject* mode, PyObject* encoding,
                PyObject* newline) {
    PyRef open = builtin(st->s_open);
    if (!open) {
        return {};
    }
    if (encoding == nullptr && newline == nullptr) {
        return call(open.get(), path, mode);
    }
    PyRef args = PyRef::steal(PyTuple_Pack(2, path, mode));
    PyRef kwargs = PyRef::steal(PyDict_New());
    if (!args || !kwargs) {
        return {};
    }
    if (encoding != nullptr && PyDict_SetItem(kwargs.get(), st->s_encoding, encoding) < 0) {
        return {};
    }
    if (newline != nullptr && PyDict_SetItem(kwargs.get(), st->s_newline, newline) < 0) {
        return {};
    }
    return PyRef::steal(PyObject_Call(open.get(), args.get(), kwargs.get()));
}

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

bool opens_as_imported(PyObject* module, ModuleState* st, PyObject* path_function,
                       PyObject* imported) {
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    PyObject* open = builtins ? PyDict_GetItemWithError(builtins, st->s_open) : nullptr;
    PyObject* os = PyDict_GetItemWithError(PyModule_GetDict(module), st->s_os);
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    if (open != st->interpreter_open || os == nullptr || !PyModule_CheckExact(os)) {
        return false;
    }
    PyObject* os_path = PyDict_GetItemWithError(PyModule_GetDict(os), st->s_path);
    PyObject* function = os_path != nullptr && PyModule_CheckExact(os_path)
                             ? PyDict_GetItemWithError(PyModule_GetDict(os_path), path_function)
                             : nullptr;
    PyErr_Clear();
    return function == imported;
}

bool close_file(ModuleState* st, PyObject* file) {
    PendingError pending;
    PyRef result = call_method(file, st->s_close);
    bool ok = static_cast<bool>(result) && !pending.holds_error();
    pending.restore();
    return ok;
}

}  // namespace qvc
