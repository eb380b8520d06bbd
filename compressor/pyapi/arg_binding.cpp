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

bool bind_core(const Signature& sig, PyObject* const* positional, Py_ssize_t npos,
               PyObject* const* kw_keys, PyObject* const* kw_values, Py_ssize_t nkw,
               BoundArgs& out) {
    if (npos > sig.nparams) {
        raise_count_error(sig, exact_arity(sig) ? "exactly" : "at most", sig.nparams, npos);
        return false;
    }
    if (sig.nparams == 0) {
        if (nkw == 0) {
            return true;
        }
        for (Py_ssize_t j = 0; j < nkw; ++j) {
            if (!PyUnicode_Check(kw_keys[j])) {
                return keywords_must_be_strings(sig);
            }
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                     sig.func_name, kw_keys[0]);
        return false;
    }

    for (Py_ssize_t i = 0; i < npos; ++i) {
        out.objects[i] = positional[i];
    }
    // Parameters not filled by position are looked for among the keywords, in parameter order;
    // the first required one that is still missing ends the call.
    Py_ssize_t keywords_used = 0;
    for (Py_ssize_t i = npos; i < sig.nparams; ++i) {
        for (Py_ssize_t j = 0; j < nkw; ++j) {
            if (PyUnicode_Check(kw_keys[j]) &&
                PyUnicode_CompareWithASCIIString(kw_keys[j], sig.params[i].name) == 0) {
                out.objects[i] = kw_values[j];
                ++keywords_used;
                break;
            }
        }
        if (out.objects[i] == nullptr && i < sig.nrequired) {
            raise_count_error(sig, exact_arity(sig) ? "exactly" : "at least", sig.nrequired, i);
            return false;
        }
    }
    if (keywords_used < nkw) {
        // Some keyword matched no open parameter: report the first such, in call order.
        for (Py_ssize_t j = 0; j < nkw; ++j) {
            PyObject* key = kw_keys[j];
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
    }

    // Conversions first, in parameter order; then the type tests, in parameter order.
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
            } else if (value == Py_True || value == Py_False || value == Py_None) {
                out.truths[i] = value == Py_True;
            } else {
                int truth = PyObject_IsTrue(value);
                if (truth < 0) {
                    return false;
                }
                out.truths[i] = truth != 0;
            }
        }
    }
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

}  // namespace

bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, BoundArgs& out) {
    Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    PyObject* const* keys = nkw == 0 ? nullptr : &PyTuple_GET_ITEM(kwnames, 0);
    return bind_core(sig, args, nargs, keys, args + nargs, nkw, out);
}

bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, BoundArgs& out) {
    Py_ssize_t npos = PyTuple_GET_SIZE(args);
    PyObject* const* positional = npos == 0 ? nullptr : &PyTuple_GET_ITEM(args, 0);
    Py_ssize_t nkw = kwargs == nullptr ? 0 : PyDict_GET_SIZE(kwargs);
    if (nkw == 0) {
        return bind_core(sig, positional, npos, nullptr, nullptr, 0, out);
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
    return bind_core(sig, positional, npos, keys.data(), values.data(),
                     static_cast<Py_ssize_t>(keys.size()), out);
}

}  // namespace qvc
