#include "compressor/vocabulary/inversion.hpp"

#include "compressor/pyapi/interpreter_calls.hpp"
#include "compressor/pyapi/signal_poll.hpp"

namespace qvc {

namespace {

// A dict that will hold `size` entries, sized for them at once where the interpreter allows it,
// so that a large vocabulary is not re-inserted at every doubling.
PyRef new_dict_for(Py_ssize_t size) {
#if PY_VERSION_HEX < 0x030E0000
    return PyRef::steal(_PyDict_NewPresized(size));
#else
    (void)size;
    return PyRef::steal(PyDict_New());
#endif
}

}  // namespace

PyRef invert_vocabulary(ModuleState* st, PyObject* vocabulary, const VocabularyPairVisitor& visit) {
    SignalPoll poll(kTokensBetweenChecks);
    if (PyDict_CheckExact(vocabulary)) {
        PyRef inverse = new_dict_for(PyDict_GET_SIZE(vocabulary));
        if (!inverse) {
            return {};
        }
        Py_ssize_t pos = 0;
        PyObject *token, *id;
        while (PyDict_Next(vocabulary, &pos, &token, &id)) {
            // Hashing an id may run code that changes the vocabulary: hold on to both.
            PyRef held_token = PyRef::borrow(token);
            PyRef held_id = PyRef::borrow(id);
            if (PyDict_SetItem(inverse.get(), id, token) < 0 || (visit && !visit(token, id)) ||
                !poll.tick()) {
                return {};
            }
        }
        return inverse;
    }
    PyRef inverse = PyRef::steal(PyDict_New());
    PyRef items = inverse ? call_method(vocabulary, st->s_items) : PyRef{};
    PyRef iterator = items ? PyRef::steal(PyObject_GetIter(items.get())) : PyRef{};
    if (!iterator) {
        return {};
    }
    while (PyRef pair = PyRef::steal(PyIter_Next(iterator.get()))) {
        PyRef token, id;
        if (!unpack_pair(pair.get(), token, id) ||
            PyDict_SetItem(inverse.get(), id.get(), token.get()) < 0 ||
            (visit && !visit(token.get(), id.get())) || !poll.tick()) {
            return {};
        }
    }
    if (PyErr_Occurred()) {
        return {};
    }
    return inverse;
}

}  // namespace qvc
