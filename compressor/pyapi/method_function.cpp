#include "compressor/pyapi/method_function.hpp"

#include "compressor/pyapi/interpreter_calls.hpp"

#include <cstddef>
#include <structmember.h>

namespace qvc {
namespace {

struct MethodFunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MethodDef* def;
    PyObject* module;  // the namespace the body looks things up in
    PyObject* name;
    PyObject* qualname;
    PyObject* module_name;
    PyObject* defaults;
    PyObject* doc;
};

MethodFunctionObject* as_function(PyObject* obj) {
    return reinterpret_cast<MethodFunctionObject*>(obj);
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    MethodFunctionObject* fn = as_function(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "unbound method %U() needs an argument", fn->qualname);
        return nullptr;
    }
    ModuleState* st = module_state(fn->module);
    PyObject* self = args[0];
    if (!PyObject_TypeCheck(self, st->compressor_type)) {
        PyErr_Format(PyExc_TypeError, "descriptor '%s' for '%s' objects doesn't apply to a '%s' object",
                     fn->def->name, st->compressor_type->tp_name, Py_TYPE(self)->tp_name);
        return nullptr;
    }
    return guarded_call<PyObject*>(nullptr, [&]() -> PyObject* {
        MethodCall call{fn->module, st, as_compressor(self), {}};
        if (!bind_arguments(fn->def->signature, args + 1, nargs - 1, kwnames, call.args)) {
            return nullptr;
        }
        return fn->def->impl(call);
    });
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    MethodFunctionObject* fn = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(fn->module);
    Py_VISIT(fn->name);
    Py_VISIT(fn->qualname);
    Py_VISIT(fn->module_name);
    Py_VISIT(fn->defaults);
    Py_VISIT(fn->doc);
    return 0;
}

int function_clear(PyObject* self) {
    MethodFunctionObject* fn = as_function(self);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->qualname);
    Py_CLEAR(fn->module_name);
    Py_CLEAR(fn->defaults);
    Py_CLEAR(fn->doc);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// Pickled by reference, as Python functions are: the module's attribute path to it.
PyObject* function_reduce(PyObject* self, PyObject* /*unused*/) {
    return Py_NewRef(as_function(self)->qualname);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }

int set_string_field(PyObject*& field, PyObject* value, const char* what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    replace_field(field, Py_NewRef(value));
    return 0;
}

int set_name(PyObject* self, PyObject* value, void*) {
    return set_string_field(as_function(self)->name, value, "__name__");
}

PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }

int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_string_field(as_function(self)->qualname, value, "__qualname__");
}

PyObject* get_module_name(PyObject* self, void*) {
    return Py_NewRef(as_function(self)->module_name);
}

int set_module_name(PyObject* self, PyObject* value, void*) {
    replace_field(as_function(self)->module_name, Py_NewRef(value ? value : Py_None));
    return 0;
}

// Introspection only: calls that omit arguments always use the fixed defaults.
PyObject* get_defaults(PyObject* self, void*) { return Py_NewRef(as_function(self)->defaults); }

int set_defaults(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) {
        value = Py_None;
    }
    if (value != Py_None && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    replace_field(as_function(self)->defaults, Py_NewRef(value));
    return 0;
}

PyObject* get_doc(PyObject* self, void*) { return Py_NewRef(as_function(self)->doc); }

int set_doc(PyObject* self, PyObject* value, void*) {
    replace_field(as_function(self)->doc, Py_NewRef(value ? value : Py_None));
    return 0;
}

PyRef parameter_default(const ParamSpec& param) {
    switch (param.kind) {
        case ParamKind::Int32:
            return PyRef::steal(PyLong_FromLong(param.int_default));
        case ParamKind::Truth:
            return PyRef::borrow(param.truth_default ? Py_True : Py_False);
        default:
            return PyRef::steal(PyUnicode_FromString(param.text_default ? param.text_default : ""));
    }
}

// The real parameters and the defaults that calls use, for inspect.signature and tools built on
// it (a compiled function has no code object to read them from).
PyObject* get_signature(PyObject* self, void*) {
    const Signature& sig = as_function(self)->def->signature;
    PyRef inspect = PyRef::steal(PyImport_ImportModule("inspect"));
    PyRef parameter = inspect ? PyRef::steal(PyObject_GetAttrString(inspect.get(), "Parameter")) : PyRef{};
    PyRef signature = inspect ? PyRef::steal(PyObject_GetAttrString(inspect.get(), "Signature")) : PyRef{};
    PyRef kind = parameter ? PyRef::steal(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD"))
                           : PyRef{};
    PyRef parameters = PyRef::steal(PyList_New(0));
    if (!signature || !kind || !parameters) {
        return nullptr;
    }
    for (Py_ssize_t i = -1; i < sig.nparams; ++i) {
        PyRef name = PyRef::steal(PyUnicode_FromString(i < 0 ? "self" : sig.params[i].name));
        PyRef args = name ? PyRef::steal(PyTuple_Pack(2, name.get(), kind.get())) : PyRef{};
        PyRef kwargs = PyRef::steal(PyDict_New());
        if (!args || !kwargs) {
            return nullptr;
        }
        if (i >= sig.nrequired) {
            PyRef value = parameter_default(sig.params[i]);
            if (!value || PyDict_SetItemString(kwargs.get(), "default", value.get()) < 0) {
                return nullptr;
            }
        }
        PyRef entry = PyRef::steal(PyObject_Call(parameter.get(), args.get(), kwargs.get()));
        if (!entry || PyList_Append(parameters.get(), entry.get()) < 0) {
            return nullptr;
        }
    }
    return call(signature.get(), parameters.get()).release();
}

PyGetSetDef function_getset[] = {
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module_name, set_module_name, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET,
     static_cast<Py_ssize_t>(offsetof(MethodFunctionObject, vectorcall)), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "qvc_compressor.method_function",
    sizeof(MethodFunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

}  // namespace

PyTypeObject* create_method_function_type(PyObject* module) {
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &function_spec, nullptr));
}

PyObject* new_method_function(PyObject* module, const MethodDef* def, const char* class_name,
                              PyObject* defaults) {
    ModuleState* st = module_state(module);
    PyRef name = PyRef::steal(PyUnicode_FromString(def->name));
    PyRef qualname = PyRef::steal(PyUnicode_FromFormat("%s.%s", class_name, def->name));
    if (!name || !qualname) {
        return nullptr;
    }
    PyTypeObject* type = st->method_function_type;
    MethodFunctionObject* fn = PyObject_GC_New(MethodFunctionObject, type);
    if (fn == nullptr) {
        return nullptr;
    }
    fn->vectorcall = function_vectorcall;
    fn->def = def;
    fn->module = Py_NewRef(module);
    fn->name = name.release();
    fn->qualname = qualname.release();
    fn->module_name = Py_NewRef(st->s_module_name);
    fn->defaults = Py_NewRef(defaults ? defaults : Py_None);
    fn->doc = Py_NewRef(Py_None);
    PyObject_GC_Track(fn);
    return reinterpret_cast<PyObject*>(fn);
}

}  // namespace qvc
