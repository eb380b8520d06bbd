// The QVCompressor instance layout and what a method body receives.
#pragma once

#include "compressor/pyapi/arg_binding.hpp"
#include "compressor/module_state.hpp"

#include <cstdint>

namespace qvc {

struct CompressorObject {
    PyObject_HEAD
    // Declaration order is the order of the pickled state.
    PyObject* dict_path;
    PyObject* global_dict;
    PyObject* inverse_dict;
    int32_t next_id;
};

inline CompressorObject* as_compressor(PyObject* obj) noexcept {
    return reinterpret_cast<CompressorObject*>(obj);
}

// One call of a method, after its arguments were bound, converted and type-tested.
struct MethodCall {
    PyObject* module;
    ModuleState* state;
    CompressorObject* self;
    BoundArgs args;

    PyObject* self_object() const noexcept { return reinterpret_cast<PyObject*>(self); }
};

// Creates an instance without initialising it (None, None, None, 0); arguments are ignored.
PyObject* compressor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);

}  // namespace qvc
