#include "compressor/package/decode/vocabulary_adoption.hpp"

#include "compressor/pyapi/interpreter_calls.hpp"
#include "compressor/vocabulary/inversion.hpp"

#include <algorithm>
#include <climits>

namespace qvc {
namespace {

// What the walk over a vocabulary finds out besides its inversion.
struct VocabularyIds {
    int64_t next_free = INT64_MIN;  // one above the largest int id, at most INT32_MAX
    bool table_possible = true;     // every id so far an exact int
};

// Takes `id` into account; returns the record value it stands for when it is an exact int
// that a record can hold.
std::optional<uint32_t> note_id(PyObject* id, VocabularyIds& ids) {
    if (!PyLong_Check(id)) {
        ids.table_possible = false;
        return std::nullopt;
    }
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(id, &overflow);
    if (overflow > 0 || (overflow == 0 && value >= INT32_MAX)) {
        ids.next_free = INT32_MAX;
    } else if (overflow == 0) {
        ids.next_free = std::max<int64_t>(ids.next_free, value + 1);
    }
    if (!PyLong_CheckExact(id)) {
        ids.table_possible = false;
        return std::nullopt;
    }
    if (overflow != 0 || value < 0 || value > INT32_MAX) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

}  // namespace

bool AdoptedVocabulary::adopt(ModuleState* st, CompressorObject* self, PyObject* package) {
    PyRef empty = PyRef::steal(PyDict_New());
    PyRef vocabulary = empty ? call_method(package, st->s_get, st->s_global_dict, empty.get())
                             : PyRef{};
    if (!vocabulary) {
        return false;
    }
    replace_field(self->global_dict, vocabulary.new_ref());

    VocabularyIds ids;
    // The table is worth making during the walk only if a change to the inversion before the
    // table is used can be noticed; otherwise it is made from the dict when needed.
    std::optional<TokenTableBuilder> table;
    if (PyDict_CheckExact(vocabulary.get()) && DictChangeWatch::available()) {
        table.emplace(st->s_unknown_token, static_cast<size_t>(PyDict_GET_SIZE(vocabulary.get())));
    }
    inverse_ = invert_vocabulary(st, vocabulary.get(), [&](PyObject* token, PyObject* id) {
        std::optional<uint32_t> record_value = note_id(id, ids);
        return !table || !ids.table_possible || !record_value || table->add(*record_value, token);
    });
    if (!inverse_) {
        return false;
    }
    if (table && ids.table_possible) {
        table_ = std::move(*table).finish();
        // Watched from before anything else can run (the old inverse_dict's release below).
        watch_.emplace(inverse_.get());
    }
    replace_field(self->inverse_dict, inverse_.new_ref());

    // The package carries no next free id. Without this, encoding with the same object after a
    // decode would hand out ids the adopted vocabulary already uses. next_id only ever grows
    // here, and stops at the largest id rather than wrapping: the encoder refuses to go past it.
    if (ids.next_free > self->next_id) {
        self->next_id = static_cast<int32_t>(ids.next_free);
    }
    return true;
}

bool AdoptedVocabulary::current_table(ModuleState* st, CompressorObject* self,
                                      std::optional<TokenTable>& out) {
    const bool unchanged = watch_ && !watch_->changed() && self->inverse_dict == inverse_.get();
    watch_.reset();
    if (table_ && unchanged) {
        out = std::move(table_);
        table_.reset();
        return true;
    }
    table_.reset();
    return TokenTable::build(self->inverse_dict, st->s_unknown_token, out);
}

}  // namespace qvc
