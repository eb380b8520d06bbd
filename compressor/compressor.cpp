// The module `qvc_compressor`: the QVCompressor class (fields, attribute access, construction),
// the signatures its members are bound by, and the module's set-up.
#include "compressor/compressor_object.hpp"
#include "compressor/method_params.hpp"
#include "compressor/pyapi/int_conversion.hpp"
#include "compressor/pyapi/interpreter_calls.hpp"
#include "compressor/pyapi/method_function.hpp"
#include "compressor/methods.hpp"
#include "compressor/safe_io/interruptible_writer.hpp"
#include "compressor/safe_io/pickle_source.hpp"

#include <atomic>

namespace qvc {
namespace {

// ---------------------------------------------------------------------------------------------
// Signatures

constexpr Signature kInitSignature{"__init__", kInitParams, 1, 0};
constexpr Signature kReduceSignature{"__reduce__", nullptr, 0, 0};
constexpr Signature kSetstateSignature{"__setstate__", kSetstateParams, 1, 1};
constexpr Signature kUnpickleSignature{"__pyx_unpickle_QVCompressor", kUnpickleParams, 3, 3};

enum MethodIndex { kLoadDict, kSaveDict, kTokenize, kDetokenize, kEncodeFiles, kDecodePackage };

const MethodDef kMethods[] = {
    {"load_dict", {"load_dict", nullptr, 0, 0}, load_dict},
    {"save_dict", {"save_dict", nullptr, 0, 0}, save_dict},
    {"tokenize", {"tokenize", kTokenizeParams, 1, 1}, tokenize},
    {"detokenize", {"detokenize", kDetokenizeParams, 1, 1}, detokenize},
    {"encode_files", {"encode_files", kEncodeParams, 4, 2}, encode_files},
    {"decode_package", {"decode_package", kDecodeParams, 3, 2}, decode_package},
};

// ---------------------------------------------------------------------------------------------
// Process-wide state: only what the one-interpreter and no-re-initialisation rules need.

std::atomic<int64_t> owning_interpreter{-1};
std::atomic<bool> module_initialised{false};

ModuleState* state_of_instance(PyObject* self) {
    PyObject* module = PyType_GetModuleByDef(Py_TYPE(self), &module_def);  // borrowed
    return module == nullptr ? nullptr : module_state(module);
}

// ---------------------------------------------------------------------------------------------
// Attributes

template <PyObject* CompressorObject::*Field>
PyObject* get_reference_field(PyObject* self, void*) {
    return Py_NewRef(as_compressor(self)->*Field);
}

// Assignment stores any object unchanged; deletion stores None.
template <PyObject* CompressorObject::*Field>
int set_reference_field(PyObject* self, PyObject* value, void*) {
    replace_field(as_compressor(self)->*Field, Py_NewRef(value != nullptr ? value : Py_None));
    return 0;
}

PyObject* get_next_id(PyObject* self, void*) { return PyLong_FromLong(as_compressor(self)->next_id); }

int set_next_id(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_NotImplementedError, "__del__");
        return -1;
    }
    int32_t converted;
    if (!to_int32(value, &converted)) {
        return -1;
    }
    as_compressor(self)->next_id = converted;
    return 0;
}

PyGetSetDef compressor_getset[] = {
    {"dict_path", get_reference_field<&CompressorObject::dict_path>,
     set_reference_field<&CompressorObject::dict_path>, nullptr, nullptr},
    {"global_dict", get_reference_field<&CompressorObject::global_dict>,
     set_reference_field<&CompressorObject::global_dict>, nullptr, nullptr},
    {"inverse_dict", get_reference_field<&CompressorObject::inverse_dict>,
     set_reference_field<&CompressorObject::inverse_dict>, nullptr, nullptr},
    {"next_id", get_next_id, set_next_id, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------------------------
// Construction

// Every run starts over: the vocabulary so far is dropped before the dictionary file is read.
bool initialise(PyObject* self, ModuleState* st, PyObject* dict_path) {
    CompressorObject* obj = as_compressor(self);
    replace_field(obj->dict_path,
                  Py_NewRef(dict_path != nullptr ? dict_path : st->s_default_dict_path));
    PyObject* global_dict = PyDict_New();
    if (global_dict == nullptr) {
        return false;
    }
    replace_field(obj->global_dict, global_dict);
    PyObject* inverse_dict = PyDict_New();
    if (inverse_dict == nullptr) {
        return false;
    }
    replace_field(obj->inverse_dict, inverse_dict);
    obj->next_id = 1;
    // Through attribute lookup, so that a subclass's override runs.
    PyRef loaded = call_method(self, st->s_load_dict);
    return static_cast<bool>(loaded);
}

int compressor_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    ModuleState* st = state_of_instance(self);
    if (st == nullptr) {
        return -1;
    }
    return guarded_call<int>(-1, [&] {
        BoundArgs bound;
        if (!bind_arguments(kInitSignature, args, kwargs, bound)) {
            return -1;
        }
        return initialise(self, st, InitParams(bound).dict_path) ? 0 : -1;
    });
}

// `__init__` as the class dictionary shows it: a function object like the other methods, so it
// can be introspected. Construction itself goes through the slot above.
PyObject* init_method(MethodCall& call) {
    if (!initialise(call.self_object(), call.state, InitParams(call.args).dict_path)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

const MethodDef kInitMethod = {"__init__", kInitSignature, init_method};

// ---------------------------------------------------------------------------------------------
// Pickling hooks (bodies in vocabulary/state_transfer.cpp)

PyObject* call_with_signature(PyObject* self, PyTypeObject* defining_class, const Signature& sig,
                              MethodImpl impl, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    PyObject* module = PyType_GetModule(defining_class);  // borrowed
    if (module == nullptr) {
        return nullptr;
    }
    return guarded_call<PyObject*>(nullptr, [&]() -> PyObject* {
        MethodCall call{module, module_state(module), as_compressor(self), {}};
        if (!bind_arguments(sig, args, nargs, kwnames, call.args)) {
            return nullptr;
        }
        return impl(call);
    });
}

PyObject* reduce_method(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames) {
    return call_with_signature(self, defining_class, kReduceSignature, reduce_compressor, args,
                               nargs, kwnames);
}

PyObject* setstate_method(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames) {
    return call_with_signature(self, defining_class, kSetstateSignature, setstate_compressor,
                               args, nargs, kwnames);
}

PyObject* unpickle_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return guarded_call<PyObject*>(nullptr, [&]() -> PyObject* {
        BoundArgs bound;
        if (!bind_arguments(kUnpickleSignature, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        return unpickle_compressor(module, UnpickleParams(bound));
    });
}

#define QVC_METHOD_FLAGS (METH_METHOD | METH_FASTCALL | METH_KEYWORDS)
#define QVC_AS_PYCFUNCTION(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef compressor_methods[] = {
    {"__reduce__", QVC_AS_PYCFUNCTION(reduce_method), QVC_METHOD_FLAGS,
     "__reduce__($self, /)\n--\n\n"},
    {"__setstate__", QVC_AS_PYCFUNCTION(setstate_method), QVC_METHOD_FLAGS,
     "__setstate__($self, /, __pyx_state)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef module_functions[] = {
    {"__pyx_unpickle_QVCompressor", QVC_AS_PYCFUNCTION(unpickle_function),
     METH_FASTCALL | METH_KEYWORDS,
     "__pyx_unpickle_QVCompressor(__pyx_type, __pyx_checksum, __pyx_state)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------------------------
// Garbage collection and lifetime

int compressor_traverse(PyObject* self, visitproc visit, void* arg) {
    CompressorObject* obj = as_compressor(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(obj->dict_path);
    Py_VISIT(obj->global_dict);
    Py_VISIT(obj->inverse_dict);
    return 0;
}

int compressor_clear(PyObject* self) {
    CompressorObject* obj = as_compressor(self);
    replace_field(obj->dict_path, Py_NewRef(Py_None));
    replace_field(obj->global_dict, Py_NewRef(Py_None));
    replace_field(obj->inverse_dict, Py_NewRef(Py_None));
    return 0;
}

void compressor_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    CompressorObject* obj = as_compressor(self);
    Py_CLEAR(obj->dict_path);
    Py_CLEAR(obj->global_dict);
    Py_CLEAR(obj->inverse_dict);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot compressor_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(compressor_new)},
    {Py_tp_init, reinterpret_cast<void*>(compressor_init)},
    {Py_tp_traverse, reinterpret_cast<void*>(compressor_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(compressor_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(compressor_dealloc)},
    {Py_tp_getset, compressor_getset},
    {Py_tp_methods, compressor_methods},
    {0, nullptr},
};

PyType_Spec compressor_spec = {
    "qvc_compressor.QVCompressor",
    sizeof(CompressorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    compressor_slots,
};

// ---------------------------------------------------------------------------------------------
// Module set-up

PyObject* module_create(PyObject* spec, PyModuleDef* /*def*/) {
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) {
        return nullptr;
    }
    int64_t owner = -1;
    if (!owning_interpreter.compare_exchange_strong(owner, current) && owner != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    PyRef name = PyRef::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    return PyModule_NewObject(name.get());
}

bool bind_imported_module(PyObject* module, const char* import_name, const char* bound_name) {
    PyRef imported = PyRef::steal(PyImport_ImportModule(import_name));
    return imported && PyModule_AddObjectRef(module, bound_name, imported.get()) == 0;
}

bool remember_imported_names(PyObject* module, ModuleState* st) {
    PyRef os_path = PyRef::steal(PyImport_ImportModule("os.path"));
    PyRef builtins = PyRef::steal(PyImport_ImportModule("builtins"));
    PyRef zstd = PyRef::steal(PyObject_GetAttr(module, st->s_zstd));
    PyRef pickle = PyRef::steal(PyObject_GetAttr(module, st->s_pickle));
    if (!os_path || !builtins || !zstd || !pickle) {
        return false;
    }
    st->pickle_dump = PyObject_GetAttr(pickle.get(), st->s_dump);
    st->pickle_dumps = PyObject_GetAttr(pickle.get(), st->s_dumps);
    st->pickle_module = pickle.release();
    st->interpreter_open = PyObject_GetAttr(builtins.get(), st->s_open);
    st->path_basename = PyObject_GetAttr(os_path.get(), st->s_basename);
    st->path_join = PyObject_GetAttr(os_path.get(), st->s_join);
    st->zstd_compressor_class = PyObject_GetAttr(zstd.get(), st->s_ZstdCompressor);
    st->zstd_module = zstd.release();
    return st->interpreter_open != nullptr && st->path_basename != nullptr &&
           st->path_join != nullptr &&
           st->zstd_compressor_class != nullptr && st->pickle_dump != nullptr &&
           st->pickle_dumps != nullptr;
}

bool add_methods_to_class(PyObject* module, ModuleState* st) {
    PyRef encode_defaults = PyRef::steal(Py_BuildValue("(ii)", 6, 4));
    PyRef decode_defaults = PyRef::steal(PyTuple_Pack(1, Py_True));
    if (!encode_defaults || !decode_defaults) {
        return false;
    }
    PyObject* type = reinterpret_cast<PyObject*>(st->compressor_type);
    // Straight into the class dictionary: setting it as an attribute would swap the
    // construction slot for the generic one that looks `__init__` up at every call.
    PyRef init = PyRef::steal(new_method_function(module, &kInitMethod, "QVCompressor", nullptr));
    if (!init || PyDict_SetItemString(st->compressor_type->tp_dict, "__init__", init.get()) < 0) {
        return false;
    }
    PyType_Modified(st->compressor_type);
    for (int i = 0; i < static_cast<int>(sizeof kMethods / sizeof kMethods[0]); ++i) {
        PyObject* defaults = i == kEncodeFiles     ? encode_defaults.get()
                             : i == kDecodePackage ? decode_defaults.get()
                                                   : nullptr;
        PyRef function =
            PyRef::steal(new_method_function(module, &kMethods[i], "QVCompressor", defaults));
        if (!function || PyObject_SetAttrString(type, kMethods[i].name, function.get()) < 0) {
            return false;
        }
        if (i == kTokenize) {
            st->tokenize_function = function.release();
        }
    }
    return true;
}

bool fill_module(PyObject* module) {
    ModuleState* st = module_state(module);
#define QVC_CREATE_STRING(field, text)                               \
    if ((st->field = PyUnicode_InternFromString(text)) == nullptr) { \
        return false;                                                \
    }
    QVC_MODULE_STRINGS(QVC_CREATE_STRING)
#undef QVC_CREATE_STRING

    if (!bind_imported_module(module, "os", "os") || !bind_imported_module(module, "re", "re") ||
        !bind_imported_module(module, "struct", "struct") ||
        !bind_imported_module(module, "pickle", "pickle") ||
        !bind_imported_module(module, "zstandard", "zstd")) {
        return false;
    }

    if (!remember_imported_names(module, st)) {
        return false;
    }
    st->method_function_type = create_method_function_type(module);
    st->interruptible_writer_type =
        st->method_function_type ? create_interruptible_writer_type(module) : nullptr;
    st->pickle_source_type =
        st->interruptible_writer_type ? create_pickle_source_type(module) : nullptr;
    if (st->pickle_source_type == nullptr) {
        return false;
    }
    st->compressor_type = reinterpret_cast<PyTypeObject*>(
        PyType_FromModuleAndSpec(module, &compressor_spec, nullptr));
    if (st->compressor_type == nullptr || !add_methods_to_class(module, st) ||
        PyModule_AddObjectRef(module, "QVCompressor",
                              reinterpret_cast<PyObject*>(st->compressor_type)) < 0) {
        return false;
    }
    return PyModule_AddFunctions(module, module_functions) == 0;
}

int module_exec(PyObject* module) {
    if (module_initialised.load()) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'qvc_compressor' has already been imported. Re-initialisation is "
                        "not supported.");
        return -1;
    }
    if (!fill_module(module)) {
        // An import that failed (say, for want of zstandard) leaves no module behind, so it
        // holds no claim on the process either: another interpreter may try next.
        owning_interpreter.store(-1);
        return -1;
    }
    module_initialised.store(true);
    return 0;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState* st = module_state(module);
    if (st == nullptr) {
        return 0;
    }
    Py_VISIT(st->compressor_type);
    Py_VISIT(st->method_function_type);
    Py_VISIT(st->interruptible_writer_type);
    Py_VISIT(st->pickle_source_type);
    Py_VISIT(st->abandoned_compression);
    Py_VISIT(st->tokenize_function);
    Py_VISIT(st->interpreter_open);
    Py_VISIT(st->path_basename);
    Py_VISIT(st->path_join);
    Py_VISIT(st->zstd_module);
    Py_VISIT(st->zstd_compressor_class);
    Py_VISIT(st->pickle_module);
    Py_VISIT(st->pickle_dump);
    Py_VISIT(st->pickle_dumps);
    Py_VISIT(st->unpickler_base);
    Py_VISIT(st->dictionary_unpickler);
    Py_VISIT(st->package_unpickler);
    return 0;
}

int module_clear(PyObject* module) {
    ModuleState* st = module_state(module);
    if (st == nullptr) {
        return 0;
    }
    Py_CLEAR(st->compressor_type);
    Py_CLEAR(st->method_function_type);
    Py_CLEAR(st->interruptible_writer_type);
    Py_CLEAR(st->pickle_source_type);
    Py_CLEAR(st->abandoned_compression);
    Py_CLEAR(st->tokenize_function);
    Py_CLEAR(st->interpreter_open);
    Py_CLEAR(st->path_basename);
    Py_CLEAR(st->path_join);
    Py_CLEAR(st->zstd_module);
    Py_CLEAR(st->zstd_compressor_class);
    Py_CLEAR(st->pickle_module);
    Py_CLEAR(st->pickle_dump);
    Py_CLEAR(st->pickle_dumps);
    Py_CLEAR(st->unpickler_base);
    Py_CLEAR(st->dictionary_unpickler);
    Py_CLEAR(st->package_unpickler);
#define QVC_CLEAR_STRING(field, text) Py_CLEAR(st->field);
    QVC_MODULE_STRINGS(QVC_CLEAR_STRING)
#undef QVC_CLEAR_STRING
    return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    // A second interpreter is refused by module_create, with the module's own message; saying
    // so here keeps the interpreter from refusing first with a message of its own.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

}  // namespace

PyObject* compressor_new(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwargs*/) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        return nullptr;
    }
    CompressorObject* obj = as_compressor(self);
    obj->dict_path = Py_NewRef(Py_None);
    obj->global_dict = Py_NewRef(Py_None);
    obj->inverse_dict = Py_NewRef(Py_None);
    obj->next_id = 0;
    return self;
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "qvc_compressor",
    nullptr,
    sizeof(ModuleState),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace qvc

PyMODINIT_FUNC PyInit_qvc_compressor(void) { return PyModuleDef_Init(&qvc::module_def); }
