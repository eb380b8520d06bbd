#include "compressor/pyapi/arg_binding.hpp"

#include "compressor/pyapi/int_conversion.hpp"

#include <vector>

namespace qvc {
namespace {

void raise_count_error(const Signature& sig, const char* bound, Py_ssize_t expected,
                       Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 sig.func_name, bound, expected, expected == 1 ? "" : "s", given);
}

bool exact_arity(const Signature& sig) { return sig.nrequired == sig.nparams; }

// Index of the parameter named `key` among params[from, to), or -1.
Py_ssize_t find_param(const Signature& sig, PyObject* key, Py_ssize_t from, Py_ssize_t to) {
    for (Py_ssize_t i = from; i < to; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.params[i].name) == 0) {
            return i;
        }
    }
    return -1;
}

bool keywords_must_be_strings(const Signature& sig) {
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.func_name);
    return false;
}

// The keyword arguments of a call: `count` names, each with its value.
struct Keywords {
    PyObject* const* keys;
    PyObject* const* values;
    Py_ssize_t count;
};

// A member without parameters takes no keywords either.
bool refuse_keywords(const Signature& sig, const Keywords& kw) {
    if (kw.count == 0) {
        return true;
    }
    for (Py_ssize_t j = 0; j < kw.count; ++j) {
        if (!PyUnicode_Check(kw.keys[j])) {
            return keywords_must_be_strings(sig);
        }
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.func_name,
                 kw.keys[0]);
    return false;
}

// Some keyword matched no open parameter: reports the first such, in call order.
bool refuse_unused_keyword(const Signature& sig, Py_ssize_t npos, const Keywords& kw) {
    for (Py_ssize_t j = 0; j < kw.count; ++j) {
        PyObject* key = kw.keys[j];
        if (!PyUnicode_Check(key)) {
            return keywords_must_be_strings(sig);
        }
        if (find_param(sig, key, npos, sig.nparams) >= 0) {
            continue;
        }
        if (find_param(sig, key, 0, npos) >= 0) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         sig.func_name, key);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         sig.func_name, key);
        }
        return false;
    }
    return true;
}

// Parameters not filled by position are looked for among the keywords, in parameter order; the
// first required one that is still missing ends the call.
bool bind_keywords(const Signature& sig, Py_ssize_t npos, const Keywords& kw, BoundArgs& out) {
    Py_ssize_t keywords_used = 0;
    for (Py_ssize_t i = npos; i < sig.nparams; ++i) {
        for (Py_ssize_t j = 0; j < kw.count; ++j) {
            if (PyUnicode_Check(kw.keys[j]) &&
                PyUnicode_CompareWithASCIIString(kw.keys[j], sig.params[i].name) == 0) {
                out.objects[i] = kw.values[j];
                ++keywords_used;
                break;
            }
        }
        if (out.objects[i] == nullptr && i < sig.nrequired) {
            raise_count_error(sig, exact_arity(sig) ? "exactly" : "at least", sig.nrequired, i);
            return false;
        }
    }
    return keywords_used == kw.count || refuse_unused_keyword(sig, npos, kw);
}

bool convert_truth(PyObject* value, bool& truth) {
    if (value == Py_True || value == Py_False || value == Py_None) {
        truth = value == Py_True;
        return true;
    }
    const int result = PyObject_IsTrue(value);
    truth = result > 0;
    return result >= 0;
}

// Int32 and Truth parameters, in parameter order, omitted ones taking their defaults.
bool convert_values(const Signature& sig, BoundArgs& out) {
    for (Py_ssize_t i = 0; i < sig.nparams; ++i) {
        const ParamSpec& param = sig.params[i];
        PyObject* value = out.objects[i];
        if (param.kind == ParamKind::Int32) {
            if (value == nullptr) {
                out.ints[i] = param.int_default;
            } else if (!to_int32(value, &out.ints[i])) {
                return false;
            }
        } else if (param.kind == ParamKind::Truth) {
            if (value == nullptr) {
                out.truths[i] = param.truth_default;
            } else if (!convert_truth(value, out.truths[i])) {
                return false;
            }
        }
    }
    return true;
}

// ExactStr and ExactList parameters, in parameter order; None passes.
bool test_exact_types(const Signature& sig, const BoundArgs& out) {
    for (Py_ssize_t i = 0; i < sig.nparams; ++i) {
        const ParamSpec& param = sig.params[i];
        PyObject* value = out.objects[i];
        PyTypeObject* expected = nullptr;
        if (param.kind == ParamKind::ExactStr) {
            expected = &PyUnicode_Type;
        } else if (param.kind == ParamKind::ExactList) {
            expected = &PyList_Type;
        }
        if (expected == nullptr || value == nullptr || value == Py_None ||
            Py_TYPE(value) == expected) {
            continue;
        }
        PyErr_Format(PyExc_TypeError,
                     "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     param.name, expected->tp_name, Py_TYPE(value)->tp_name);
        return false;
    }
    return true;
}

bool bind_core(const Signature& sig, PyObject* const* positional, Py_ssize_t npos,
               const Keywords& kw, BoundArgs& out) {
    if (npos > sig.nparams) {
        raise_count_error(sig, exact_arity(sig) ? "exactly" : "at most", sig.nparams, npos);
        return false;
    }
    if (sig.nparams == 0) {
        return refuse_keywords(sig, kw);
    }
    for (Py_ssize_t i = 0; i < npos; ++i) {
        out.objects[i] = positional[i];
    }
    // Conversions of all parameters first, then the type tests.
    return bind_keywords(sig, npos, kw, out) && convert_values(sig, out) &&
           test_exact_types(sig, out);
}

}  // namespace

bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, BoundArgs& out) {
    Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    PyObject* const* keys = nkw == 0 ? nullptr : &PyTuple_GET_ITEM(kwnames, 0);
    return bind_core(sig, args, nargs, Keywords{keys, args + nargs, nkw}, out);
}

bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, BoundArgs& out) {
    Py_ssize_t npos = PyTuple_GET_SIZE(args);
    PyObject* const* positional = npos == 0 ? nullptr : &PyTuple_GET_ITEM(args, 0);
    Py_ssize_t nkw = kwargs == nullptr ? 0 : PyDict_GET_SIZE(kwargs);
    if (nkw == 0) {
        return bind_core(sig, positional, npos, Keywords{nullptr, nullptr, 0}, out);
    }
    // The dict stays alive for the call, so its keys and values may be borrowed.
    std::vector<PyObject*> keys;
    std::vector<PyObject*> values;
    keys.reserve(static_cast<size_t>(nkw));
    values.reserve(static_cast<size_t>(nkw));
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        keys.push_back(key);
        values.push_back(value);
    }
    return bind_core(sig, positional, npos,
                     Keywords{keys.data(), values.data(), static_cast<Py_ssize_t>(keys.size())},
                     out);
}

}  // namespace qvc
