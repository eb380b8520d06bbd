#include "compressor/package/encode/id_assignment.hpp"

#include "compressor/pyapi/int_conversion.hpp"
#include "compressor/pyapi/interpreter_calls.hpp"
#include "compressor/pyapi/py_ref.hpp"
#include "compressor/plan/fast_path_switches.hpp"
#include "compressor/package/encode/id_ledger.hpp"
#include "compressor/package/encode/mapped_allocator.hpp"
#include "compressor/package/package_format.hpp"
#include "compressor/pyapi/signal_poll.hpp"

#include <algorithm>
#include <functional>
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

// A token is a str, or None; what an overriding tokenize may return otherwise is refused where
// the walk over the tokens meets it.
bool check_token_type(PyObject* token) {
    return PyUnicode_CheckExact(token) || token == Py_None || raise_expected_type("str", token);
}

// The one place where a token gets its id: `token in global_dict`, then `global_dict[token]`
// when it is, else the next free id, entered in `global_dict` and `inverse_dict` with `next_id`
// moved past it. Each access reads the attribute again, as the vocabulary's own code (a
// mapping's, an id's __index__) may replace it; a plain dict answers both questions with one
// lookup.
bool give_token_id(CompressorObject* self, PyObject* token, IdLedger& ledger, int32_t* id) {
    PyRef vocabulary = PyRef::borrow(self->global_dict);
    PyRef value;
    if (PyDict_CheckExact(vocabulary.get())) {
        value = PyRef::borrow(PyDict_GetItemWithError(vocabulary.get(), token));
    } else {
        const int known = PySequence_Contains(vocabulary.get(), token);
        if (known < 0) {
            return false;
        }
        if (known > 0) {
            vocabulary = PyRef::borrow(self->global_dict);
            value = PyRef::steal(PyObject_GetItem(vocabulary.get(), token));
            if (!value) {
                return false;
            }
        }
    }
    if (value) {
        return to_int32(value.get(), id) &&
               ledger.accept_existing(vocabulary.get(), token, value.get(), *id);
    }
    if (PyErr_Occurred() || !ledger.next_free_id(self->next_id, id)) {
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

// Packs the stream block by block in place, each number replaced by its record, handing each
// block on as soon as it is packed. `all_given(block)` tells whether every token has its id once
// block `block` is packed; then, once enough of the stream waits in the compressor to keep its
// threads busy meanwhile (or at the end), `ids_given` runs, and may fail.
template <typename RecordOf, typename AllGiven>
bool pack_blocks(TokenStream& stream, PackedStreamCompressor& sink,
                 RecordOf&& record_of_token, AllGiven&& all_given,
                 const std::function<bool()>& ids_given) {
    constexpr size_t kBusyBytes = size_t{32} << 20;
    const size_t total = 4 * stream.size();
    size_t fed = 0;
    bool told = false;
    SignalPoll poll(kTokensBetweenChecks);
    for (size_t block = 0; block < stream.block_count(); ++block) {
        const size_t count = stream.tokens_in_block(block);
        if (!poll.tick(count)) {
            return false;
        }
        uint32_t* numbers = stream.block(block);
        if (!record_of_token(block, numbers, count) ||
            !sink.feed(reinterpret_cast<const unsigned char*>(numbers), 4 * count)) {
            return false;
        }
        stream.release(block);
        fed += 4 * count;
        if (!told && (fed >= kBusyBytes || 2 * fed >= total) && all_given(block)) {
            told = true;
            if (!ids_given()) {
                return false;
            }
        }
    }
    return told || ids_given();
}

}  // namespace

bool assign_ids_and_compress(ModuleState* st, CompressorObject* self,
                             const std::vector<PyObject*>& strs, TokenStream& stream,
                             PackedStreamCompressor& sink, const std::function<bool()>& ids_given) {
    IdLedger ledger;
    {
        // Held while its ids are indexed: a mapping's own code may reassign the attribute.
        PyRef vocabulary = PyRef::borrow(self->global_dict);
        if (!ledger.index_existing_ids(st, vocabulary.get())) {
            return false;
        }
    }
    // The ids are final once the last token has its own. Code run meanwhile (a mapping's own, an
    // id's __int__, a signal handler) may have changed the vocabulary: it is checked as it then
    // stands, before anything that the package is made of is taken from it.
    auto ids_final = [&] {
        return ledger.refuse_shared_ids(st, self->global_dict) && ids_given();
    };
    SignalPoll poll(kTokensBetweenChecks);
    auto give = [&](PyObject* token, int32_t* id) {
        return poll.tick() && check_token_type(token) && give_token_id(self, token, ledger, id);
    };
    // With exact dicts for both mappings, and tokens that are exact strs (or None), whose hashing
    // and comparing run no code, looking a token up again after its first occurrence finds what
    // the first occurrence left: giving each distinct token its id once, in order of first
    // occurrence, leaves the vocabulary as the token by token walk would, on success and at a
    // failure alike. Any other mapping may do anything on each access, and is asked every time.
    const bool once_per_distinct =
        PyDict_CheckExact(self->global_dict) && PyDict_CheckExact(self->inverse_dict);
    trace_plan(once_per_distinct ? "encode_files ids=once-per-distinct-token"
                                 : "encode_files ids=every-token");
    if (!once_per_distinct) {
        return pack_blocks(stream, sink, [&](size_t, uint32_t* numbers, size_t count) {
            for (size_t i = 0; i < count; ++i) {
                int32_t id;
                if (!give(strs[numbers[i]], &id)) {
                    return false;
                }
                numbers[i] = record_of(id);
            }
            return true;
        }, [&](size_t block) { return block + 1 == stream.block_count(); }, ids_final);
    }
    // The record of each distinct token, by its number; [0, resolved) are given.
    RecordTable records(strs.size());
    size_t resolved = 0;
    // Each block needs the records of the distinct tokens met up to its end: giving them block by
    // block lets the compressor work on the blocks before while the vocabulary grows.
    return pack_blocks(stream, sink, [&](size_t block, uint32_t* numbers, size_t count) {
        const size_t needed = std::min(stream.distinct_end(block), strs.size());
        for (; resolved < needed; ++resolved) {
            int32_t id;
            if (!give(strs[resolved], &id)) {
                return false;
            }
            records[resolved] = record_of(id);
        }
        for (size_t i = 0; i < count; ++i) {
            numbers[i] = records[numbers[i]];
        }
        return true;
    }, [&](size_t) { return resolved == strs.size(); }, ids_final);
}

}  // namespace qvc
