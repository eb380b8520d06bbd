// Pickling and copying: `__reduce__`, `__setstate__` and the module function
// `__pyx_unpickle_QVCompressor` that serialized streams call to rebuild an object.
//
// Streams name the module, that function and the field layout checksum, so all three are
// persisted data: a stream written by any version must stay readable by every later one.
// Restoring never runs `__init__`, so it neither reads nor writes the dictionary file.
#include "compressor/pyapi/int_conversion.hpp"
#include "compressor/pyapi/interpreter_calls.hpp"
#include "compressor/methods.hpp"

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace qvc {
namespace {

// The first seven hex digits of the SHA-256, SHA-1 and MD5 digests of
// "dict_path global_dict inverse_dict next_id". `__reduce__` writes the first; streams carrying
// any of the three are read.
constexpr int64_t kWrittenChecksum = 0x3e12e10;
constexpr int64_t kAcceptedChecksums[] = {0x3e12e10, 0x7d3093e, 0x18c54b4};

// The reference fields in state tuple order; `next_id` follows them at position 3.
constexpr PyObject* CompressorObject::*kReferenceFields[] = {
    &CompressorObject::dict_path,
    &CompressorObject::global_dict,
    &CompressorObject::inverse_dict,
};
constexpr Py_ssize_t kNextIdPosition = 3;
constexpr Py_ssize_t kInstanceDictPosition = 4;

bool is_accepted_checksum(int64_t checksum) {
    return std::find(std::begin(kAcceptedChecksums), std::end(kAcceptedChecksums), checksum) !=
           std::end(kAcceptedChecksums);
}

// A state must be exactly a tuple; subclasses are refused like any other type.
bool require_exact_tuple(PyObject* state) {
    if (PyTuple_CheckExact(state)) {
        return true;
    }
    return raise_expected_type("tuple", state);
}

// `raise exception_class(message)`, with the statement's own check that what was made is an
// exception (the class comes from a module that callers may have patched).
void raise_with_message(PyObject* exception_class, PyObject* message) {
    PyRef exception = call(exception_class, message);
    if (!exception) {
        return;
    }
    if (!PyExceptionInstance_Check(exception.get())) {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        return;
    }
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
}

// The checksum appears as Python's "%x" shows an int: lower-case hex, no leading zeros, and a
// minus sign in front of the digits (so "0x-1f"). PickleError is imported afresh, as
// `from pickle import PickleError` would, rather than taken from the module namespace.
void raise_incompatible_checksum(ModuleState* st, int64_t checksum) {
    const uint64_t bits = static_cast<uint64_t>(checksum);
    const uint64_t magnitude = checksum < 0 ? uint64_t{0} - bits : bits;  // INT64_MIN included
    char text[192];
    std::snprintf(text, sizeof text,
                  "Incompatible checksums (0x%s%llx vs (0x3e12e10, 0x7d3093e, 0x18c54b4) = "
                  "(dict_path, global_dict, inverse_dict, next_id))",
                  checksum < 0 ? "-" : "", static_cast<unsigned long long>(magnitude));
    PyRef pickle = PyRef::steal(PyImport_Import(st->s_pickle));
    PyRef pickle_error =
        pickle ? PyRef::steal(PyObject_GetAttr(pickle.get(), st->s_PickleError)) : PyRef{};
    PyRef message = pickle_error ? PyRef::steal(PyUnicode_FromString(text)) : PyRef{};
    if (message) {
        raise_with_message(pickle_error.get(), message.get());
    }
}

// Applies a state tuple field by field. Each field is replaced as soon as its element was read,
// so a short or bad tuple leaves the earlier fields replaced and the later ones as they were.
bool apply_state(ModuleState* st, PyObject* obj, PyObject* state) {
    if (state == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
        return false;
    }
    CompressorObject* self = as_compressor(obj);
    Py_ssize_t position = 0;
    for (PyObject* CompressorObject::*field : kReferenceFields) {
        PyObject* element = PyTuple_GetItem(state, position++);  // borrowed
        if (element == nullptr) {
            return false;
        }
        replace_field(self->*field, Py_NewRef(element));
    }
    PyObject* next_id = PyTuple_GetItem(state, kNextIdPosition);  // borrowed
    int32_t converted;
    if (next_id == nullptr || !to_int32(next_id, &converted)) {
        return false;
    }
    self->next_id = converted;

    // Only objects with an instance dictionary (Python subclasses, as a rule) take the fifth
    // element; anything beyond it is ignored.
    if (PyTuple_GET_SIZE(state) <= kInstanceDictPosition) {
        return true;
    }
    PyRef instance_dict = optional_attr(obj, st->s_dunder_dict);
    if (!instance_dict) {
        return !PyErr_Occurred();
    }
    PyObject* saved_dict = PyTuple_GET_ITEM(state, kInstanceDictPosition);  // borrowed
    return static_cast<bool>(call_method(instance_dict.get(), st->s_update, saved_dict));
}

bool any_reference_field_set(const CompressorObject* self) {
    return std::any_of(
        std::begin(kReferenceFields), std::end(kReferenceFields),
        [self](PyObject* CompressorObject::*field) { return self->*field != Py_None; });
}

}  // namespace

PyObject* reduce_compressor(MethodCall& call) {
    ModuleState* st = call.state;
    CompressorObject* self = call.self;
    PyObject* obj = call.self_object();

    // The field values as they are now, shared rather than copied: copy.copy relies on that.
    PyRef dict_path = PyRef::borrow(self->dict_path);
    PyRef global_dict = PyRef::borrow(self->global_dict);
    PyRef inverse_dict = PyRef::borrow(self->inverse_dict);
    PyRef next_id = PyRef::steal(PyLong_FromLong(self->next_id));
    if (!next_id) {
        return nullptr;
    }

    PyRef instance_dict = optional_attr(obj, st->s_dunder_dict);
    if (!instance_dict && PyErr_Occurred()) {
        return nullptr;
    }
    const bool carries_instance_dict = instance_dict && instance_dict.get() != Py_None;
    PyRef state = PyRef::steal(
        carries_instance_dict
            ? PyTuple_Pack(5, dict_path.get(), global_dict.get(), inverse_dict.get(), next_id.get(),
                           instance_dict.get())
            : PyTuple_Pack(4, dict_path.get(), global_dict.get(), inverse_dict.get(),
                           next_id.get()));
    if (!state) {
        return nullptr;
    }
    // An object with nothing but None references and an id rebuilds in one call; anything else
    // goes through __setstate__, which lets the serializer memoize the object before its state
    // (self-references in a subclass's attributes depend on that).
    const bool use_setstate = carries_instance_dict || any_reference_field_set(self);

    // Looked up at each call, so a rebinding in the module namespace takes effect.
    PyRef unpickle = module_global(call.module, st->s_unpickle_func);
    PyRef checksum = unpickle ? PyRef::steal(PyLong_FromLongLong(kWrittenChecksum)) : PyRef{};
    if (!checksum) {
        return nullptr;
    }
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    if (use_setstate) {
        PyRef args = PyRef::steal(PyTuple_Pack(3, type, checksum.get(), Py_None));
        return args ? PyTuple_Pack(3, unpickle.get(), args.get(), state.get()) : nullptr;
    }
    PyRef args = PyRef::steal(PyTuple_Pack(3, type, checksum.get(), state.get()));
    return args ? PyTuple_Pack(2, unpickle.get(), args.get()) : nullptr;
}

PyObject* setstate_compressor(MethodCall& call) {
    PyObject* state = SetstateParams(call.args).state;
    if (state != Py_None && !require_exact_tuple(state)) {
        return nullptr;
    }
    if (!apply_state(call.state, call.self_object(), state)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* unpickle_compressor(PyObject* module, const UnpickleParams& params) {
    ModuleState* st = module_state(module);
    PyObject* type = params.type;
    PyObject* state = params.state;

    int64_t checksum;
    if (!to_int64(params.checksum, &checksum)) {
        return nullptr;
    }
    if (!is_accepted_checksum(checksum)) {
        raise_incompatible_checksum(st, checksum);
        return nullptr;
    }
    // Through the class's own __new__, so that a type that is not QVCompressor or a subclass is
    // refused with the interpreter's message.
    PyRef new_method =
        PyRef::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(st->compressor_type), st->s_new));
    PyRef obj = new_method ? call(new_method.get(), type) : PyRef{};
    if (!obj) {
        return nullptr;
    }
    if (state != Py_None && (!require_exact_tuple(state) || !apply_state(st, obj.get(), state))) {
        return nullptr;
    }
    return obj.release();
}

}  // namespace qvc
