// The function objects that the class's methods are: named, introspectable, with replaceable
// `__defaults__`, binding to instances like Python functions, called through vectorcall.
#pragma once

#include "compressor/compressor_object.hpp"

namespace qvc {

using MethodImpl = PyObject* (*)(MethodCall& call);

struct MethodDef {
    const char* name;
    Signature signature;
    MethodImpl impl;
};

PyTypeObject* create_method_function_type(PyObject* module);

// A new function object for `def`, with `__qualname__` "<class_name>.<name>", `__module__`
// "qvc_compressor" and the given `__defaults__` (None when null).
PyObject* new_method_function(PyObject* module, const MethodDef* def, const char* class_name,
                              PyObject* defaults);

}  // namespace qvc
