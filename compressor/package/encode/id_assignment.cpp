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

// Whether PyDict_SetDefault raises when it cannot grow the dict. CPython 3.13.0 counts the entry
// as added anyway, leaving a dict that crashes the next time it grows; which later 3.13 release
// mends that is not relied on, so all of 3.13 looks up and then uses PyDict_SetItem.
bool set_default_fails_cleanly() noexcept {
    return Py_Version < 0x030D0000;
}

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

// How resolving one token went. kInterrupted: a signal handler raised.
enum class Resolved { kDone, kFailed, kInterrupted };

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

    // The records of the distinct tokens [*resolved, end), whose strs `strs` holds; *resolved
    // moves past each one done.
    Resolved resolve_range(const std::vector<PyObject*>& strs, size_t* resolved, size_t end,
                           RecordTable& records) {
        for (; *resolved < end; ++*resolved) {
            if (!poll_.tick()) {
                return Resolved::kInterrupted;
            }
            int32_t id;
            if (!resolve_one(strs[*resolved], &id)) {
                return Resolved::kFailed;
            }
            records[*resolved] = record_of(id);
        }
        return Resolved::kDone;
    }

    // Enters `token`, which the vocabulary lacks, under `id`, which no token holds.
    bool enter_new(PyObject* token, int32_t id) {
        PyRef id_object = PyRef::steal(PyLong_FromLong(id));
        if (!id_object || PyDict_SetItem(global_dict_, token, id_object.get()) < 0 ||
            PyDict_SetItem(inverse_dict_, id_object.get(), token) < 0) {
            return false;
        }
        self_->next_id = IdLedger::successor(id);
        ledger_.record_new(global_dict_, token, id);
        return true;
    }

private:
    bool resolve_one(PyObject* token, int32_t* id) {
        // New tokens come in runs (all of them on a first encode); while they do, one combined
        // lookup-and-insert replaces a lookup followed by an insert.
        std::optional<int32_t> free_id = expect_new_ && set_default_fails_cleanly()
                                             ? ledger_.free_id_from(self_->next_id)
                                             : std::nullopt;
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
            if (PyDict_SetItem(inverse_dict_, id_object.get(), token) < 0) {
                return false;
            }
            self_->next_id = IdLedger::successor(*id);
            ledger_.record_new(global_dict_, token, *id);
            return true;
        }
        PyObject* value = PyDict_GetItemWithError(global_dict_, token);
        if (value != nullptr) {
            expect_new_ = false;
            return accept_known(token, value, id);
        }
        expect_new_ = true;
        return !PyErr_Occurred() && ledger_.next_free_id(self_->next_id, id) &&
               enter_new(token, *id);
    }

    bool accept_known(PyObject* token, PyObject* value, int32_t* id) {
        PyRef held = PyRef::borrow(value);  // converting may run code that drops it from the dict
        return to_int32(held.get(), id) &&
               ledger_.accept_existing(global_dict_, token, held.get(), *id);
    }

    CompressorObject* self_;
    PyObject* global_dict_;
    PyObject* inverse_dict_;
    IdLedger& ledger_;
    // Across calls of resolve_range, which come one block or one batch of strs at a time.
    SignalPoll poll_{kTokensBetweenChecks};
    bool expect_new_ = true;
};

bool pack_distinct_tokens(ModuleState* st, CompressorObject* self, TokenizedFiles& files,
                          IdLedger& ledger, unsigned char* out) {
    // Held for the whole phase: code that a vocabulary's values run (__int__) may reassign the
    // attributes, and the dicts must outlive that.
    PyRef global_dict = PyRef::borrow(self->global_dict);
    PyRef inverse_dict = PyRef::borrow(self->inverse_dict);
    RecordTable records;
    if (!ledger.index_existing_ids(st, global_dict.get()) ||
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
    // Held while the existing ids are indexed: a mapping's own code may reassign the attribute.
    PyRef vocabulary = PyRef::borrow(self->global_dict);
    if (!ledger.index_existing_ids(st, vocabulary.get())) {
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
                return raise_expected_type("str", token);
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
    Resolution(CompressorObject* self, PyObject* global_dict, PyObject* inverse_dict)
        : global_dict(PyRef::borrow(global_dict)),
          inverse_dict(PyRef::borrow(inverse_dict)),
          resolver(self, global_dict, inverse_dict, ledger) {}

    PyRef global_dict;
    PyRef inverse_dict;
    IdLedger ledger;
    DistinctTokenResolver resolver;
    RecordTable records;
    size_t resolved = 0;

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
    PyObject* global_dict = self_->global_dict;
    PyObject* inverse_dict = self_->inverse_dict;
    auto resolution = std::make_unique<Resolution>(self_, global_dict, inverse_dict);
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
    // already need nothing.
    for (const auto& [number, id] : r.new_tokens) {
        if (!r.resolver.enter_new(strs[number], id)) {
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
    if (!resolution_ && PyDict_CheckExact(self->global_dict) &&
        PyDict_CheckExact(self->inverse_dict)) {
        resolution_ = std::make_unique<Resolution>(self, self->global_dict, self->inverse_dict);
        if (!resolution_->ledger.index_existing_ids(st, self->global_dict)) {
            return false;
        }
    }
    if (resolution_) {
        Resolution& r = *resolution_;
        r.records.resize(strs.size());
        // The ids are final once the last distinct token has its own. Code run meanwhile (an
        // id's __int__, a signal handler) may have changed the vocabulary: it is checked as it
        // then stands, before anything that the package is made of is taken from it.
        auto ids_final = [&] {
            return r.ledger.refuse_shared_ids(st, self->global_dict) && ids_given();
        };
        // Each block needs the records of the distinct tokens met up to its end: resolving them
        // block by block lets the compressor work on the blocks before while the vocabulary
        // grows.
        return pack_blocks(stream, sink,
                           [&](size_t block, uint32_t* numbers, size_t count) {
            const size_t needed = std::min(stream.distinct_end(block), strs.size());
            if (r.resolver.resolve_range(strs, &r.resolved, needed, r.records) !=
                Resolved::kDone) {
                return false;
            }
            for (size_t i = 0; i < count; ++i) {
                numbers[i] = r.records[numbers[i]];
            }
            return true;
        }, [&](size_t) { return r.resolved == strs.size(); }, ids_final);
    }
    // Any other mapping: token by token, through the mappings' own protocols.
    // Held while the existing ids are indexed and checked: a mapping's own code may reassign the attribute.
    PyRef vocabulary = PyRef::borrow(self->global_dict);
    IdLedger ledger;
    if (!ledger.index_existing_ids(st, vocabulary.get())) {
        return false;
    }
    auto ids_final = [&] {
        return ledger.refuse_shared_ids(st, self->global_dict) && ids_given();
    };
    SignalPoll poll(kTokensBetweenChecks);
    return pack_blocks(stream, sink, [&](size_t, uint32_t* numbers, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            int32_t id;
            if (!poll.tick() || !assign_token_id(self, strs[numbers[i]], ledger, &id)) {
                return false;
            }
            store_record(reinterpret_cast<unsigned char*>(numbers + i), static_cast<uint32_t>(id));
        }
        return true;
    }, [&](size_t block) { return block + 1 == stream.block_count(); }, ids_final);
}

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
