#include "compressor/package/decode/vocabulary_adoption.hpp"

#include "compressor/pyapi/interpreter_calls.hpp"
#include "compressor/vocabulary/inversion.hpp"

#include <algorithm>
#include <climits>

namespace qvc {

bool adopt_vocabulary(ModuleState* st, CompressorObject* self, PyObject* package) {
    PyRef empty = PyRef::steal(PyDict_New());
    PyRef vocabulary = empty ? call_method(package, st->s_get, st->s_global_dict, empty.get())
                             : PyRef{};
    if (!vocabulary) {
        return false;
    }
    replace_field(self->global_dict, vocabulary.new_ref());

    int64_t next_free = INT64_MIN;  // one above the largest int id, at most INT32_MAX
    PyRef inverse = invert_vocabulary(st, vocabulary.get(), [&](PyObject*, PyObject* id) {
        if (!PyLong_Check(id)) {
            return true;
        }
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(id, &overflow);
        if (overflow > 0 || (overflow == 0 && value >= INT32_MAX)) {
            next_free = INT32_MAX;
        } else if (overflow == 0) {
            next_free = std::max<int64_t>(next_free, value + 1);
        }
        return true;
    });
    if (!inverse) {
        return false;
    }
    replace_field(self->inverse_dict, inverse.new_ref());

    // The package carries no next free id. Without this, encoding with the same object after a
    // decode would hand out ids the adopted vocabulary already uses. next_id only ever grows
    // here, and stops at the largest id rather than wrapping: the encoder refuses to go past it.
    if (next_free > self->next_id) {
        self->next_id = static_cast<int32_t>(next_free);
    }
    return true;
}

}  // namespace qvc
