// Binds call arguments to a member's parameters, converts them and tests their types, with the
// module's fixed messages. Every member (methods, constructor, pickling hooks, the module-level
// unpickle function) goes through here, so all of them refuse bad calls alike.
#pragma once

#include "compressor/pyapi/py_ref.hpp"

#include <cstdint>

namespace qvc {

enum class ParamKind : uint8_t {
    Object,     // any object, taken as it is
    ExactStr,   // exactly `str`, or None
    ExactList,  // exactly `list`, or None
    Int32,      // through the 32-bit integer conversion
    Truth,      // the truth value of any object
};

struct ParamSpec {
    const char* name;
    ParamKind kind;
    int32_t int_default = 0;            // Int32 parameters that may be omitted
    bool truth_default = false;         // Truth parameters that may be omitted
    const char* text_default = nullptr; // Object parameters whose default is a str
};

struct Signature {
    const char* func_name;  // as the messages name the member
    const ParamSpec* params;
    Py_ssize_t nparams;
    Py_ssize_t nrequired;  // the leading parameters that must be given
};

constexpr Py_ssize_t kMaxParams = 4;

// The outcome of binding: objects are borrowed from the call and valid for its duration.
struct BoundArgs {
    PyObject* objects[kMaxParams] = {};  // null where an optional parameter was omitted
    int32_t ints[kMaxParams] = {};       // Int32 parameters, defaults filled in
    bool truths[kMaxParams] = {};        // Truth parameters, defaults filled in
};

// Vectorcall convention: `nargs` positional arguments, then one value per name in `kwnames`.
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, BoundArgs& out);

// Tuple-and-dict convention (the constructor's slot).
bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, BoundArgs& out);

}  // namespace qvc
