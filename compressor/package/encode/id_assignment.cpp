#include "compressor/package/encode/id_assignment.hpp"

#include "compressor/pyapi/int_conversion.hpp"
#include "compressor/pyapi/interpreter_calls.hpp"
#include "compressor/pyapi/py_ref.hpp"
#include "compressor/package/decode/dict_change_watch.hpp"
#include "compressor/package/encode/id_ledger.hpp"
#include "compressor/package/encode/mapped_allocator.hpp"
#include "compressor/package/package_format.hpp"
#include "compressor/pyapi/signal_poll.hpp"

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
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

struct DistinctTokenIds::Resolution {
    explicit Resolution(CompressorObject* self)
        : global_dict(PyRef::borrow(self->global_dict)),
          inverse_dict(PyRef::borrow(self->inverse_dict)) {}

    // The mappings as they were when the ledger indexed the ids: held, as a mapping's own code
    // may reassign the attributes meanwhile.
    PyRef global_dict;
    PyRef inverse_dict;
    IdLedger ledger;
    RecordTable records;  // the record of each distinct token, by its number
    size_t resolved = 0;  // the distinct tokens [0, resolved) have their record

    // While the files are still read: records worked out without entering anything.
    bool early = false;
    bool stopped_early = false;  // a token met whose id only the second phase may work out
    int32_t next_id_before = 0;
    int32_t provisional_next = 0;  // the id the next new token would get
    bool ids_exhausted = false;    // the last id went to a new token
    std::vector<std::pair<uint32_t, int32_t>> new_tokens;  // (distinct number, id), in order
    std::unique_ptr<DictChangeWatch> global_watch;
    std::unique_ptr<DictChangeWatch> inverse_watch;
};

DistinctTokenIds::DistinctTokenIds(ModuleState* st, CompressorObject* self)
    : st_(st), self_(self) {}

DistinctTokenIds::~DistinctTokenIds() {
    if (!thread_may_use_interpreter()) {
        (void)resolution_.release();  // see thread_may_use_interpreter
    }
}

void DistinctTokenIds::begin_early() {
    auto resolution = std::make_unique<Resolution>(self_);
    PyObject* global_dict = resolution->global_dict.get();
    PyObject* inverse_dict = resolution->inverse_dict.get();
    if (!resolution->ledger.index_existing_ids(st_, global_dict)) {
        PyErr_Clear();  // raised again, in its place, once every file was read
        return;
    }
    resolution->early = true;
    resolution->next_id_before = self_->next_id;
    resolution->provisional_next = self_->next_id;
    resolution->global_watch = std::make_unique<DictChangeWatch>(global_dict);
    resolution->inverse_watch = std::make_unique<DictChangeWatch>(inverse_dict);
    resolution_ = std::move(resolution);
}

// The record of one distinct token as the second phase would give it if nothing changed the
// vocabulary before then; nothing when only the second phase may work it out (an id that is no
// int, or one it must refuse: it raises that error in its place).
std::optional<uint32_t> DistinctTokenIds::provisional_record(uint32_t number, PyObject* token) {
    Resolution& r = *resolution_;
    PyObject* value = PyDict_GetItemWithError(r.global_dict.get(), token);
    int32_t id;
    if (value != nullptr) {
        if (!PyLong_CheckExact(value) || !to_int32(value, &id) ||
            !r.ledger.accept_existing(r.global_dict.get(), token, value, id)) {
            PyErr_Clear();
            return std::nullopt;
        }
        return record_of(id);
    }
    if (PyErr_Occurred() || r.ids_exhausted) {
        PyErr_Clear();
        return std::nullopt;
    }
    const std::optional<int32_t> free_id = r.ledger.free_id_from(r.provisional_next);
    if (!free_id) {
        return std::nullopt;
    }
    r.ids_exhausted = *free_id == INT32_MAX;
    r.provisional_next = IdLedger::successor(*free_id);
    r.new_tokens.emplace_back(number, *free_id);
    return record_of(*free_id);
}

bool DistinctTokenIds::give_early(const std::vector<PyObject*>& strs) {
    Resolution* r = resolution_.get();
    if (r == nullptr || !r->early || r->stopped_early || r->resolved >= strs.size()) {
        return true;
    }
    r->records.resize(strs.size());
    SignalPoll poll(kTokensBetweenChecks);
    for (; r->resolved < strs.size(); ++r->resolved) {
        if (!poll.tick()) {
            return false;
        }
        const std::optional<uint32_t> record =
            provisional_record(static_cast<uint32_t>(r->resolved), strs[r->resolved]);
        if (!record) {
            r->stopped_early = true;
            break;
        }
        r->records[r->resolved] = *record;
    }
    return true;
}

void DistinctTokenIds::stop_early() noexcept {
    if (resolution_ && resolution_->early) {
        resolution_.reset();
    }
}

bool DistinctTokenIds::early_ids_hold(CompressorObject* self) const noexcept {
    const Resolution* r = resolution_.get();
    return r != nullptr && r->early && r->global_dict.get() == self->global_dict &&
           r->inverse_dict.get() == self->inverse_dict && self->next_id == r->next_id_before &&
           !r->global_watch->changed() && !r->inverse_watch->changed();
}

bool DistinctTokenIds::commit_early(const std::vector<PyObject*>& strs, bool* kept) {
    *kept = early_ids_hold(self_);
    if (!*kept) {
        stop_early();
        return true;
    }
    Resolution& r = *resolution_;
    r.early = false;
    r.global_watch.reset();
    r.inverse_watch.reset();
    // Entered in order of first occurrence, as the second phase enters them; the tokens known
    // already need nothing. Nothing changed since the ids were worked out, so each gets the
    // very id its record holds.
    for (const auto& [number, id] : r.new_tokens) {
        int32_t given;
        if (!give_token_id(self_, strs[number], r.ledger, &given)) {
            return false;
        }
        if (given != id) {
            PyErr_SetString(PyExc_SystemError, "encode_files: an early id did not hold");
            return false;
        }
    }
    std::vector<std::pair<uint32_t, int32_t>>().swap(r.new_tokens);
    return true;
}

bool DistinctTokenIds::assign_and_compress(const std::vector<PyObject*>& strs,
                                           TokenStream& stream,
                                           PackedStreamCompressor& sink,
                                           const std::function<bool()>& ids_given) {
    CompressorObject* self = self_;
    ModuleState* st = st_;
    if (!resolution_) {
        resolution_ = std::make_unique<Resolution>(self);
        if (!resolution_->ledger.index_existing_ids(st, resolution_->global_dict.get())) {
            return false;
        }
    }
    Resolution& r = *resolution_;
    // The ids are final once the last token has its own. Code run meanwhile (a mapping's own, an
    // id's __int__, a signal handler) may have changed the vocabulary: it is checked as it then
    // stands, before anything that the package is made of is taken from it.
    auto ids_final = [&] {
        return r.ledger.refuse_shared_ids(st, self->global_dict) && ids_given();
    };
    SignalPoll poll(kTokensBetweenChecks);
    auto give = [&](PyObject* token, int32_t* id) {
        return poll.tick() && check_token_type(token) && give_token_id(self, token, r.ledger, id);
    };
    // With exact dicts for both mappings, and tokens that are exact strs (or None), whose hashing
    // and comparing run no code, looking a token up again after its first occurrence finds what
    // the first occurrence left: giving each distinct token its id once, in order of first
    // occurrence, leaves the vocabulary as the token by token walk would, on success and at a
    // failure alike. Any other mapping may do anything on each access, and is asked every time.
    if (!PyDict_CheckExact(self->global_dict) || !PyDict_CheckExact(self->inverse_dict)) {
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
    r.records.resize(strs.size());
    // Each block needs the records of the distinct tokens met up to its end: giving them block by
    // block lets the compressor work on the blocks before while the vocabulary grows.
    return pack_blocks(stream, sink, [&](size_t block, uint32_t* numbers, size_t count) {
        const size_t needed = std::min(stream.distinct_end(block), strs.size());
        for (; r.resolved < needed; ++r.resolved) {
            int32_t id;
            if (!give(strs[r.resolved], &id)) {
                return false;
            }
            r.records[r.resolved] = record_of(id);
        }
        for (size_t i = 0; i < count; ++i) {
            numbers[i] = r.records[numbers[i]];
        }
        return true;
    }, [&](size_t) { return r.resolved == strs.size(); }, ids_final);
}

}  // namespace qvc
