// Which token ids one encode_files call may use, so that the package it writes never maps two
// tokens to one id, never holds a negative id, and the id counter never wraps.
#pragma once

#include "compressor/module_state.hpp"

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

namespace qvc {

// A fixed set of ids: a bitmap when they are dense (the usual 1, 2, 3, ...), else a sorted array.
class IdSet {
public:
    // Takes `ids` (reordered); false with `*duplicate` set when an id occurs twice.
    bool assign(std::vector<int32_t>& ids, int32_t* duplicate);
    bool contains(int32_t id) const noexcept;

private:
    std::vector<uint64_t> bits_;  // bit i: id i, for 0 <= i <= max_
    std::vector<int32_t> sorted_;
    int32_t max_ = INT32_MIN;
};

// Ids handed out in this call, as runs of consecutive ids (new ids come one after another).
class IdRuns {
public:
    void add(int32_t id);
    bool contains(int32_t id) const noexcept;

private:
    std::vector<std::pair<int32_t, int32_t>> runs_;  // inclusive bounds
    bool ordered_ = true;
    int32_t max_ = INT32_MIN;
};

class IdLedger {
public:
    // Reads the ids that `vocabulary` holds: a dict's straight from its storage (nothing of the
    // vocabulary's own code runs), another mapping's through its `items()`; a mapping without
    // one is not read, and the ledger knows only the ids this call meets. ValueError when two
    // of its tokens hold one id. Ints are ids, and so are floats of integral value (a reader's
    // inversion takes 1.0 for 1); other values are no ids until a token that holds one is
    // packed. Answers signals.
    bool index_existing_ids(ModuleState* st, PyObject* vocabulary);

    // Accepts `id`, read for `token` from `value` in `vocabulary`, as the id of that token in
    // the package: ValueError when it is negative or another token holds it.
    bool accept_existing(PyObject* vocabulary, PyObject* token, PyObject* value, int32_t id);

    // The id for a new token: `next_id`, or the first id after it that no token holds.
    // ValueError when `next_id` is negative, OverflowError when no id up to 2147483647 is free.
    bool next_free_id(int32_t next_id, int32_t* id) const;
    // The same without raising: nothing when next_free_id would fail.
    std::optional<int32_t> free_id_from(int32_t next_id) const noexcept;

    // Notes that `token` was entered in `vocabulary` under the new id `id`.
    void record_new(PyObject* vocabulary, PyObject* token, int32_t id);

    // Once the ids are final: ValueError when `vocabulary` maps two tokens to one id, as a
    // reader inverting it finds them (ids that are equal as dict keys, such as 1, 1.0 and True,
    // are one id; values that cannot be keys are none), or maps a token to an id that the
    // stream gave another token whose value had to be converted (whatever code ran since may
    // have changed the vocabulary). A mapping without `items()` cannot be read: the ids this
    // call met were checked as they came. Answers signals.
    bool refuse_shared_ids(ModuleState* st, PyObject* vocabulary) const;

    // `next_id` once `id` was given out: the id after it, except after the last id, where the
    // counter stays, taken, so that the next new token fails instead of wrapping to a negative id.
    static int32_t successor(int32_t id) noexcept { return id == INT32_MAX ? id : id + 1; }

private:
    bool taken(int32_t id) const noexcept;

    PyRef indexed_dict_;         // the dict whose ids `held_` lists
    IdSet held_;
    IdRuns handed_out_;
    // Ids the index does not vouch for, with the token holding each: read by index_existing_ids from
    // values other than a dict's ints, or met while packing (in_stream).
    struct Owner {
        PyRef token;
        bool in_stream;
    };
    std::unordered_map<int32_t, Owner> owners_;
};

}  // namespace qvc
