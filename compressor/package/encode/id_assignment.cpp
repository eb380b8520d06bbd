#include "compressor/package/encode/id_assignment.hpp"

#include "compressor/pyapi/int_conversion.hpp"
#include "compressor/package/encode/id_ledger.hpp"
#include "compressor/package/encode/mapped_allocator.hpp"
#include "compressor/package/package_format.hpp"
#include "compressor/pyapi/signal_poll.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

namespace qvc {
namespace {

// The record of each distinct token, indexed by its number.
using RecordTable = std::vector<uint32_t, MappedAllocator<uint32_t>>;

// An id as its record's four bytes, ready to be copied into the stream.
uint32_t record_of(int32_t id) {
    uint32_t record;
    store_record(reinterpret_cast<unsigned char*>(&record), static_cast<uint32_t>(id));
    return record;
}

// ---------------------------------------------------------------------------------------------
// Built-in split into plain dicts: each distinct token is looked up once.
//
// With exact dicts for both mappings and the built-in split for every file, looking a token up
// again after its first occurrence finds what the first occurrence left, so resolving each
// distinct token once, in order of first occurrence, leaves the vocabulary exactly as the token
// by token walk would, on success and at a failure alike.

class DistinctTokenResolver {
public:
    DistinctTokenResolver(CompressorObject* self, PyObject* global_dict, PyObject* inverse_dict,
                          IdLedger& ledger)
        : self_(self), global_dict_(global_dict), inverse_dict_(inverse_dict), ledger_(ledger) {}

    // The record of every distinct token, in order of first occurrence.
    bool resolve(const DistinctTokens& distinct, RecordTable& records) {
        records.resize(distinct.size());
        SignalPoll poll(kTokensBetweenChecks);
        for (uint32_t number = 0; number < distinct.size(); ++number) {
            if (!poll.tick()) {
                return false;
            }
            PyRef token = PyRef::steal(distinct.new_str(number));
            int32_t id;
            if (!token || !resolve_one(token.get(), &id)) {
                return false;
            }
            records[number] = record_of(id);
        }
        return true;
    }

private:
    bool resolve_one(PyObject* token, int32_t* id) {
        // New tokens come in runs (all of them on a first encode); while they do, one combined
        // lookup-and-insert replaces a lookup followed by an insert.
        std::optional<int32_t> free_id =
            expect_new_ ? ledger_.free_id_from(self_->next_id) : std::nullopt;
        if (free_id) {
            PyRef id_object = PyRef::steal(PyLong_FromLong(*free_id));
            if (!id_object) {
                return false;
            }
            // Whether it went in shows in the size: the value found could be the very same
            // shared small int.
            const Py_ssize_t size_before = PyDict_GET_SIZE(global_dict_);
            PyObject* value = PyDict_SetDefault(global_dict_, token, id_object.get());
            if (value == nullptr) {
                return false;
            }
            expect_new_ = PyDict_GET_SIZE(global_dict_) > size_before;
            if (!expect_new_) {
                return accept_known(token, value, id);
            }
            *id = *free_id;
            return enter_inverse(token, id_object.get(), *id);
        }
        PyObject* value = PyDict_GetItemWithError(global_dict_, token);
        if (value != nullptr) {
            expect_new_ = false;
            return accept_known(token, value, id);
        }
        expect_new_ = true;
        if (PyErr_Occurred() || !ledger_.next_free_id(self_->next_id, id)) {
            return false;
        }
        PyRef id_object = PyRef::steal(PyLong_FromLong(*id));
        return id_object && PyDict_SetItem(global_dict_, token, id_object.get()) == 0 &&
               enter_inverse(token, id_object.get(), *id);
    }

    bool accept_known(PyObject* token, PyObject* value, int32_t* id) {
        PyRef held = PyRef::borrow(value);  // converting may run code that drops it from the dict
        return to_int32(held.get(), id) &&
               ledger_.accept_existing(global_dict_, token, held.get(), *id);
    }

    // The rest of entering a new token once `global_dict` has it.
    bool enter_inverse(PyObject* token, PyObject* id_object, int32_t id) {
        if (PyDict_SetItem(inverse_dict_, id_object, token) < 0) {
            return false;
        }
        self_->next_id = IdLedger::successor(id);
        ledger_.record_new(global_dict_, token, id);
        return true;
    }

    CompressorObject* self_;
    PyObject* global_dict_;
    PyObject* inverse_dict_;
    IdLedger& ledger_;
    bool expect_new_ = true;
};

bool pack_distinct_tokens(ModuleState* st, CompressorObject* self, TokenizedFiles& files,
                          IdLedger& ledger, unsigned char* out) {
    // Held for the whole phase: code that a vocabulary's values run (__int__) may reassign the
    // attributes, and the dicts must outlive that.
    PyRef global_dict = PyRef::borrow(self->global_dict);
    PyRef inverse_dict = PyRef::borrow(self->inverse_dict);
    RecordTable records;
    if (!ledger.take_stock(st, global_dict.get()) ||
        !DistinctTokenResolver(self, global_dict.get(), inverse_dict.get(), ledger)
             .resolve(files.distinct, records)) {
        return false;
    }
    files.distinct.release();
    constexpr size_t kRecordsBetweenChecks = size_t{1} << 22;
    for (const TokenizedFile& file : files.files) {
        const uint32_t* numbers = file.numbers.numbers;
        for (size_t start = 0; start < file.count; start += kRecordsBetweenChecks) {
            if (PyErr_CheckSignals() != 0) {
                return false;
            }
            const size_t end = std::min(file.count, start + kRecordsBetweenChecks);
            for (size_t i = start; i < end; ++i) {
                std::memcpy(out + 4 * i, &records[numbers[i]], 4);
            }
        }
        out += 4 * file.count;
        // Given back as the stream fills up: the two never take the room of both whole.
        if (file.numbers.block != TokenNumbers::kNoBlock) {
            files.numbers.release_before(file.numbers.block);
        }
    }
    files.numbers.release_all();
    return true;
}

// ---------------------------------------------------------------------------------------------
// Any other case: token by token, through the mappings' own protocols, as the vocabulary's type
// may do anything on each access.

// `token in global_dict`, then `global_dict[token]` when it is: the value, or null with no
// exception set when the token is not there.
PyRef find_token_id(CompressorObject* self, PyObject* token, PyRef& vocabulary) {
    // Each use reads the attribute again: code run by a mapping may have replaced it.
    vocabulary = PyRef::borrow(self->global_dict);
    if (PyDict_CheckExact(vocabulary.get())) {
        // One lookup does for both: a plain dict answers the two alike.
        return PyRef::borrow(PyDict_GetItemWithError(vocabulary.get(), token));
    }
    const int known = PySequence_Contains(vocabulary.get(), token);
    if (known <= 0) {
        return {};
    }
    vocabulary = PyRef::borrow(self->global_dict);
    return PyRef::steal(PyObject_GetItem(vocabulary.get(), token));
}

bool assign_token_id(CompressorObject* self, PyObject* token, IdLedger& ledger, int32_t* id) {
    PyRef vocabulary;
    PyRef value = find_token_id(self, token, vocabulary);
    if (value) {
        return to_int32(value.get(), id) &&
               ledger.accept_existing(vocabulary.get(), token, value.get(), *id);
    }
    if (PyErr_Occurred()) {
        return false;
    }
    if (!ledger.next_free_id(self->next_id, id)) {
        return false;
    }
    PyRef id_object = PyRef::steal(PyLong_FromLong(*id));
    if (!id_object) {
        return false;
    }
    vocabulary = PyRef::borrow(self->global_dict);
    if (PyObject_SetItem(vocabulary.get(), token, id_object.get()) < 0) {
        return false;
    }
    PyRef inverse = PyRef::borrow(self->inverse_dict);
    if (PyObject_SetItem(inverse.get(), id_object.get(), token) < 0) {
        return false;
    }
    self->next_id = IdLedger::successor(*id);
    ledger.record_new(vocabulary.get(), token, *id);
    return true;
}

// The str of each distinct token of the built-in split, made when first needed and then shared
// by its occurrences, as the built-in split shares equal tokens of one text.
class DistinctTokenStrs {
public:
    explicit DistinctTokenStrs(const DistinctTokens& distinct)
        : distinct_(distinct), strs_(distinct.size()) {}

    PyObject* get(uint32_t number) {
        PyRef& str = strs_[number];
        if (!str) {
            str = PyRef::steal(distinct_.new_str(number));
        }
        return str.get();
    }

private:
    const DistinctTokens& distinct_;
    std::vector<PyRef> strs_;
};

bool pack_token_by_token(ModuleState* st, CompressorObject* self, TokenizedFiles& files,
                         IdLedger& ledger, unsigned char* out) {
    // Held while the stock is taken: a mapping's own code may reassign the attribute.
    PyRef vocabulary = PyRef::borrow(self->global_dict);
    if (!ledger.take_stock(st, vocabulary.get())) {
        return false;
    }
    DistinctTokenStrs strs(files.distinct);
    size_t position = 0;
    SignalPoll poll(kTokensBetweenChecks);
    auto pack = [&](PyObject* token) {
        int32_t id;
        if (!poll.tick() || !assign_token_id(self, token, ledger, &id)) {
            return false;
        }
        store_record(out + 4 * position, static_cast<uint32_t>(id));
        ++position;
        return true;
    };
    for (TokenizedFile& file : files.files) {
        if (!file.tokens) {
            for (size_t i = 0; i < file.count; ++i) {
                PyObject* token = strs.get(file.numbers.numbers[i]);
                if (token == nullptr || !pack(token)) {
                    return false;
                }
            }
            continue;
        }
        // The list is ours alone, so its length and items stay as they were while we walk it.
        PyRef tokens = std::move(file.tokens);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(tokens.get()); ++i) {
            PyObject* token = PyList_GET_ITEM(tokens.get(), i);
            if (!PyUnicode_CheckExact(token) && token != Py_None) {
                PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str",
                             Py_TYPE(token)->tp_name);
                return false;
            }
            if (!pack(token)) {
                return false;
            }
        }
    }
    return true;
}

bool all_split_by_builtin(const TokenizedFiles& files) {
    for (const TokenizedFile& file : files.files) {
        if (file.tokens) {
            return false;
        }
    }
    return true;
}

}  // namespace

PyRef assign_ids_and_pack(ModuleState* st, CompressorObject* self, TokenizedFiles& files) {
    files.distinct.stop_numbering();
    // Allocated whole but not written yet: its pages cost nothing until the records go in.
    PyRef packed = PyRef::steal(
        PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(4 * files.total_tokens)));
    if (!packed) {
        return {};
    }
    unsigned char* out = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(packed.get()));
    const bool plain_dicts =
        PyDict_CheckExact(self->global_dict) && PyDict_CheckExact(self->inverse_dict);
    IdLedger ledger;
    const bool packed_ok = plain_dicts && all_split_by_builtin(files)
                               ? pack_distinct_tokens(st, self, files, ledger, out)
                               : pack_token_by_token(st, self, files, ledger, out);
    // The ids are final now. Code run meanwhile (a mapping's own, an id's __int__, a signal
    // handler) may have changed the vocabulary: it is checked as the package will hold it.
    if (!packed_ok || !ledger.refuse_shared_ids(st, self->global_dict)) {
        return {};
    }
    return packed;
}

}  // namespace qvc
