#include "compressor/safe_io/restricted_unpickler.hpp"

#include "compressor/pyapi/interpreter_calls.hpp"
#include "compressor/safe_io/pickle_source.hpp"

#include <string>

namespace qvc {
namespace {

bool equals(PyObject* str, const char* ascii) {
    return PyUnicode_Check(str) && PyUnicode_CompareWithASCIIString(str, ascii) == 0;
}

PyObject* raise_unpickling_error(PyObject* module, PyObject* message) {
    PyRef pickle = module_global(module, module_state(module)->s_pickle);
    if (!pickle) {
        return nullptr;
    }
    PyRef error_type = PyRef::steal(PyObject_GetAttr(pickle.get(), module_state(module)->s_UnpicklingError));
    if (error_type) {
        PyErr_SetObject(error_type.get(), message);
    }
    return nullptr;
}

PyObject* refuse_arguments(PyObject* module, const char* what) {
    PyRef message = PyRef::steal(PyUnicode_FromFormat(
        "%s is only allowed to rebuild a byte string in a pickle stream", what));
    return message ? raise_unpickling_error(module, message.get()) : nullptr;
}

bool is_latin1_codec(PyObject* name) { return equals(name, "latin1") || equals(name, "latin-1"); }

// The stand-ins that `find_class` hands out take only the arguments the pickler itself writes
// for byte strings, so a stream cannot make them allocate more than it holds.

PyObject* rebuild_encoded_bytes(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs == 2 && PyUnicode_CheckExact(args[0]) && is_latin1_codec(args[1])) {
        return PyUnicode_AsLatin1String(args[0]);
    }
    return refuse_arguments(module, "_codecs.encode");
}

PyObject* rebuild_bytes(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs == 0) {
        return PyBytes_FromStringAndSize("", 0);
    }
    if (nargs == 1 && PyBytes_CheckExact(args[0])) {
        return Py_NewRef(args[0]);
    }
    return refuse_arguments(module, "bytes");
}

PyObject* rebuild_bytearray(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs == 0) {
        return PyByteArray_FromStringAndSize("", 0);
    }
    if (nargs == 1 && PyBytes_CheckExact(args[0])) {
        return PyByteArray_FromObject(args[0]);
    }
    if (nargs == 2 && PyUnicode_CheckExact(args[0]) && is_latin1_codec(args[1])) {
        PyRef encoded = PyRef::steal(PyUnicode_AsLatin1String(args[0]));
        return encoded ? PyByteArray_FromObject(encoded.get()) : nullptr;
    }
    return refuse_arguments(module, "bytearray");
}

#define QVC_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef rebuild_encoded_bytes_def = {"encode", QVC_FASTCALL(rebuild_encoded_bytes),
                                         METH_FASTCALL, nullptr};
PyMethodDef rebuild_bytes_def = {"bytes", QVC_FASTCALL(rebuild_bytes), METH_FASTCALL, nullptr};
PyMethodDef rebuild_bytearray_def = {"bytearray", QVC_FASTCALL(rebuild_bytearray), METH_FASTCALL,
                                     nullptr};

PyObject* stand_in(PyObject* module, PyMethodDef* def) {
    return PyCFunction_NewEx(def, module, module_state(module)->s_module_name);
}

// find_class(unpickler, module_name, global_name), bound to the unpickler as a method.
PyObject* find_allowed_class(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                             UnpicklePurpose purpose) {
    if (nargs != 3) {
        PyErr_Format(PyExc_TypeError, "find_class() takes exactly 2 arguments (%zd given)",
                     nargs - 1);
        return nullptr;
    }
    PyObject* module_name = args[1];
    PyObject* global_name = args[2];
    // Streams of protocols 0 to 2 name the builtins module by its Python 2 name.
    bool in_builtins = equals(module_name, "builtins") || equals(module_name, "__builtin__");
    if (equals(module_name, "_codecs") && equals(global_name, "encode")) {
        return stand_in(module, &rebuild_encoded_bytes_def);
    }
    if (in_builtins && equals(global_name, "bytes")) {
        return stand_in(module, &rebuild_bytes_def);
    }
    if (purpose == UnpicklePurpose::DictionaryFile && in_builtins) {
        if (equals(global_name, "set")) {
            return Py_NewRef(reinterpret_cast<PyObject*>(&PySet_Type));
        }
        if (equals(global_name, "frozenset")) {
            return Py_NewRef(reinterpret_cast<PyObject*>(&PyFrozenSet_Type));
        }
        if (equals(global_name, "bytearray")) {
            return stand_in(module, &rebuild_bytearray_def);
        }
    }
    PyRef message = PyRef::steal(PyUnicode_FromFormat(
        "global '%S.%S' is forbidden in %s", module_name, global_name,
        purpose == UnpicklePurpose::Package ? "a package" : "a dictionary file"));
    return message ? raise_unpickling_error(module, message.get()) : nullptr;
}

PyObject* find_class_for_dictionary(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    return find_allowed_class(module, args, nargs, UnpicklePurpose::DictionaryFile);
}

PyObject* find_class_for_package(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    return find_allowed_class(module, args, nargs, UnpicklePurpose::Package);
}

PyMethodDef find_class_for_dictionary_def = {"find_class", QVC_FASTCALL(find_class_for_dictionary),
                                             METH_FASTCALL, nullptr};
PyMethodDef find_class_for_package_def = {"find_class", QVC_FASTCALL(find_class_for_package),
                                          METH_FASTCALL, nullptr};

PyRef make_unpickler_class(PyObject* module, PyObject* base, const char* name,
                           PyMethodDef* find_class_def) {
    ModuleState* st = module_state(module);
    PyRef function = PyRef::steal(stand_in(module, find_class_def));
    PyRef method = function ? PyRef::steal(PyInstanceMethod_New(function.get())) : PyRef{};
    PyRef slots = PyRef::steal(PyTuple_New(0));
    PyRef namespace_dict = PyRef::steal(PyDict_New());
    if (!method || !slots || !namespace_dict ||
        PyDict_SetItem(namespace_dict.get(), st->s_find_class, method.get()) < 0 ||
        PyDict_SetItemString(namespace_dict.get(), "__slots__", slots.get()) < 0 ||
        PyDict_SetItemString(namespace_dict.get(), "__module__", st->s_module_name) < 0) {
        return {};
    }
    return PyRef::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O)O",
                                              name, base, namespace_dict.get()));
}

PyRef unpickler_class(PyObject* module, UnpicklePurpose purpose) {
    ModuleState* st = module_state(module);
    PyRef pickle = module_global(module, st->s_pickle);
    if (!pickle) {
        return {};
    }
    PyRef base = PyRef::steal(PyObject_GetAttr(pickle.get(), st->s_Unpickler));
    if (!base) {
        return {};
    }
    if (st->unpickler_base != base.get()) {
        PyRef dictionary = make_unpickler_class(module, base.get(), "DictionaryFileUnpickler",
                                                &find_class_for_dictionary_def);
        PyRef package =
            dictionary ? make_unpickler_class(module, base.get(), "PackageUnpickler",
                                              &find_class_for_package_def)
                       : PyRef{};
        if (!package) {
            return {};
        }
        replace_field(st->unpickler_base, base.release());
        replace_field(st->dictionary_unpickler, dictionary.release());
        replace_field(st->package_unpickler, package.release());
    }
    return PyRef::borrow(purpose == UnpicklePurpose::Package ? st->package_unpickler
                                                             : st->dictionary_unpickler);
}

}  // namespace

PyRef restricted_load(PyObject* module, UnpicklePurpose purpose, PyObject* file) {
    ModuleState* st = module_state(module);
    PyRef cls = unpickler_class(module, purpose);
    if (!cls) {
        return {};
    }
    std::string problem;
    PyRef source = read_pickle_source(st, file, problem);
    if (!source) {
        if (!problem.empty()) {
            PyRef message = PyRef::steal(PyUnicode_FromString(problem.c_str()));
            if (message) {
                raise_unpickling_error(module, message.get());
            }
        }
        return {};
    }
    PyRef unpickler = call(cls.get(), source.get());
    if (!unpickler) {
        return {};
    }
    return call_method(unpickler.get(), st->s_load);
}

}  // namespace qvc
