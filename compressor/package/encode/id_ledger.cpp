#include "compressor/package/encode/id_ledger.hpp"

#include "compressor/pyapi/interpreter_calls.hpp"
#include "compressor/pyapi/signal_poll.hpp"

#include <algorithm>
#include <cmath>

namespace qvc {
namespace {

bool raise_shared_id(int32_t id) {
    PyErr_Format(PyExc_ValueError,
                 "global_dict maps more than one token to the id %d; a package needs one token "
                 "per id",
                 static_cast<int>(id));
    return false;
}

bool raise_shared_value(PyObject* value) {
    PyErr_Format(PyExc_ValueError,
                 "global_dict maps more than one token to the id %R; a package needs one token "
                 "per id",
                 value);
    return false;
}

// The id that an int, or a float of integral value, stands for as a key of a reader's inversion,
// when it is one a record can hold.
std::optional<int32_t> numeric_id(PyObject* value) {
    if (PyLong_Check(value)) {
        int overflow = 0;
        const long id = PyLong_AsLongAndOverflow(value, &overflow);
        if (overflow == 0 && id >= INT32_MIN && id <= INT32_MAX) {
            return static_cast<int32_t>(id);
        }
        return std::nullopt;
    }
    if (PyFloat_CheckExact(value)) {
        const double number = PyFloat_AS_DOUBLE(value);
        if (number == std::trunc(number) && number >= INT32_MIN && number <= INT32_MAX) {
            return static_cast<int32_t>(number);
        }
    }
    return std::nullopt;
}

// Calls visit(token, value) for every pair of `vocabulary`: a dict's from its storage, another
// mapping's from its `items()`. A mapping without `items()` has no pairs to visit. Signals are
// answered between pairs.
template <typename Visit>
bool for_each_pair(ModuleState* st, PyObject* vocabulary, Visit&& visit) {
    SignalPoll poll(kTokensBetweenChecks);
    if (PyDict_Check(vocabulary)) {
        PyRef held = PyRef::borrow(vocabulary);
        Py_ssize_t position = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(vocabulary, &position, &key, &value)) {
            if (!visit(key, value) || !poll.tick()) {
                return false;
            }
        }
        return true;
    }
    PyRef items_method = optional_attr(vocabulary, st->s_items);
    if (!items_method) {
        return !PyErr_Occurred();
    }
    PyRef items = call(items_method.get());
    PyRef iterator = items ? PyRef::steal(PyObject_GetIter(items.get())) : PyRef{};
    if (!iterator) {
        return false;
    }
    while (PyRef pair = PyRef::steal(PyIter_Next(iterator.get()))) {
        PyRef token, value;
        if (!unpack_pair(pair.get(), token, value) || !visit(token.get(), value.get()) ||
            !poll.tick()) {
            return false;
        }
    }
    return !PyErr_Occurred();
}

bool same_token(PyObject* a, PyObject* b) {
    // Tokens are exact strs (or None, which only ever equals itself): comparing them runs no
    // code of their own.
    return a == b || (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b) &&
                      PyUnicode_Compare(a, b) == 0);
}

}  // namespace

bool IdSet::assign(std::vector<int32_t>& ids, int32_t* duplicate) {
    bits_.clear();
    sorted_.clear();
    max_ = INT32_MIN;
    if (ids.empty()) {
        return true;
    }
    auto [low, high] = std::minmax_element(ids.begin(), ids.end());
    max_ = *high;
    // A bitmap costs at most a few bytes per id here; ids spread wider are sorted instead.
    const uint64_t span = static_cast<uint64_t>(static_cast<int64_t>(max_)) + 1;
    if (*low >= 0 && span <= 64 * static_cast<uint64_t>(ids.size()) + (uint64_t{1} << 20)) {
        bits_.assign(static_cast<size_t>((span + 63) / 64), 0);
        for (int32_t id : ids) {
            uint64_t& word = bits_[static_cast<size_t>(id) / 64];
            const uint64_t bit = uint64_t{1} << (static_cast<uint32_t>(id) % 64);
            if (word & bit) {
                *duplicate = id;
                return false;
            }
            word |= bit;
        }
        return true;
    }
    std::sort(ids.begin(), ids.end());
    auto repeated = std::adjacent_find(ids.begin(), ids.end());
    if (repeated != ids.end()) {
        *duplicate = *repeated;
        return false;
    }
    sorted_ = std::move(ids);
    return true;
}

bool IdSet::contains(int32_t id) const noexcept {
    if (id > max_) {
        return false;
    }
    if (!bits_.empty()) {
        const uint64_t word = id >= 0 ? bits_[static_cast<size_t>(id) / 64] : 0;
        return (word >> (static_cast<uint32_t>(id) % 64)) & 1;
    }
    return std::binary_search(sorted_.begin(), sorted_.end(), id);
}

void IdRuns::add(int32_t id) {
    if (!runs_.empty() && runs_.back().second != INT32_MAX && id == runs_.back().second + 1) {
        runs_.back().second = id;
    } else {
        if (!runs_.empty() && id <= runs_.back().second) {
            ordered_ = false;
        }
        runs_.emplace_back(id, id);
    }
    max_ = std::max(max_, id);
}

bool IdRuns::contains(int32_t id) const noexcept {
    if (id > max_) {
        return false;
    }
    if (ordered_) {
        auto starts_after = [](int32_t value, const std::pair<int32_t, int32_t>& run) {
            return value < run.first;
        };
        auto after = std::upper_bound(runs_.begin(), runs_.end(), id, starts_after);
        return after != runs_.begin() && id <= std::prev(after)->second;
    }
    return std::any_of(runs_.begin(), runs_.end(),
                       [id](const auto& run) { return run.first <= id && id <= run.second; });
}

bool IdLedger::index_existing_ids(ModuleState* st, PyObject* vocabulary) {
    const bool dict = PyDict_Check(vocabulary);
    if (dict) {
        indexed_dict_ = PyRef::borrow(vocabulary);
    }
    // A dict's int values are vouched for by its storage; every other id is kept with the
    // token holding it, since a lookup of that token may give the value back in another form.
    std::vector<int32_t> ids;
    std::vector<std::pair<int32_t, PyRef>> owned;
    if (dict) {
        ids.reserve(static_cast<size_t>(PyDict_GET_SIZE(vocabulary)));
    }
    const bool read = for_each_pair(st, vocabulary, [&](PyObject* token, PyObject* value) {
        // An int beyond 32 bits can never be a record; packing a token that holds one fails in
        // the id conversion.
        if (const std::optional<int32_t> id = numeric_id(value)) {
            if (dict && PyLong_Check(value)) {
                ids.push_back(*id);
            } else {
                owned.emplace_back(*id, PyRef::borrow(token));
            }
        }
        return true;
    });
    if (!read) {
        return false;
    }
    int32_t duplicate = 0;
    if (!held_.assign(ids, &duplicate)) {
        return raise_shared_id(duplicate);
    }
    for (auto& [id, token] : owned) {
        auto known = owners_.find(id);
        if (held_.contains(id) || (known != owners_.end() && !same_token(known->second.token.get(),
                                                                         token.get()))) {
            return raise_shared_id(id);
        }
        owners_.emplace(id, Owner{std::move(token), false});
    }
    return true;
}

bool IdLedger::accept_existing(PyObject* vocabulary, PyObject* token, PyObject* value,
                               int32_t id) {
    if (id < 0) {
        PyErr_Format(PyExc_ValueError,
                     "a token's id in global_dict is %d; a package holds ids from 0 to "
                     "2147483647 only",
                     static_cast<int>(id));
        return false;
    }
    const bool indexed = vocabulary == indexed_dict_.get();
    if (indexed && PyLong_Check(value)) {
        return true;  // indexed by index_existing_ids, which found no other token holding it
    }
    // A value of another type (a float, an object with __int__), or a vocabulary the ledger
    // could not read: the id is checked against every id seen so far instead.
    auto known = owners_.find(id);
    if (known != owners_.end()) {
        if (!same_token(known->second.token.get(), token)) {
            return raise_shared_id(id);
        }
        known->second.in_stream = true;
        return true;
    }
    if ((indexed && held_.contains(id)) || handed_out_.contains(id)) {
        return raise_shared_id(id);
    }
    owners_.emplace(id, Owner{PyRef::borrow(token), true});
    return true;
}

bool IdLedger::taken(int32_t id) const noexcept {
    return held_.contains(id) || handed_out_.contains(id) ||
           (!owners_.empty() && owners_.count(id) != 0);
}

std::optional<int32_t> IdLedger::free_id_from(int32_t next_id) const noexcept {
    if (next_id < 0) {
        return std::nullopt;
    }
    int32_t candidate = next_id;
    while (taken(candidate)) {
        if (candidate == INT32_MAX) {
            return std::nullopt;
        }
        ++candidate;
    }
    return candidate;
}

bool IdLedger::next_free_id(int32_t next_id, int32_t* id) const {
    std::optional<int32_t> free = free_id_from(next_id);
    if (free) {
        *id = *free;
        return true;
    }
    if (next_id < 0) {
        PyErr_Format(PyExc_ValueError, "next_id is %d; a new token cannot be given a negative id",
                     static_cast<int>(next_id));
    } else {
        PyErr_SetString(PyExc_OverflowError,
                        "no token id is left for a new token: ids end at 2147483647");
    }
    return false;
}

void IdLedger::record_new(PyObject* vocabulary, PyObject* token, int32_t id) {
    handed_out_.add(id);
    if (vocabulary != indexed_dict_.get()) {
        // Nothing vouches for what such a vocabulary returns later; remember whose id this is.
        owners_.emplace(id, Owner{PyRef::borrow(token), true});
    }
}

bool IdLedger::refuse_shared_ids(ModuleState* st, PyObject* vocabulary) const {
    // Exact ints, the usual ids, go into a set of 32-bit ids; anything else that can be a key
    // is then compared with them, and with the ids the stream gave tokens whose values the
    // ledger had to convert, as the reader's inversion compares keys.
    std::vector<int32_t> ids;
    std::vector<std::pair<PyRef, PyRef>> others;  // (token, value)
    const bool read = for_each_pair(st, vocabulary, [&](PyObject* token, PyObject* value) {
        if (PyLong_CheckExact(value) || PyBool_Check(value)) {
            if (const std::optional<int32_t> id = numeric_id(value)) {
                if (!owners_.empty()) {
                    auto owner = owners_.find(*id);
                    if (owner != owners_.end() && owner->second.in_stream &&
                        !same_token(owner->second.token.get(), token)) {
                        return raise_shared_id(*id);
                    }
                }
                ids.push_back(*id);
                return true;
            }
        }
        if (Py_TYPE(value)->tp_hash != PyObject_HashNotImplemented) {
            others.emplace_back(PyRef::borrow(token), PyRef::borrow(value));
        }
        return true;
    });
    if (!read) {
        return false;
    }
    const std::vector<int32_t> int_ids = others.empty() ? std::vector<int32_t>{} : ids;
    IdSet set;
    int32_t duplicate = 0;
    if (!set.assign(ids, &duplicate)) {
        return raise_shared_id(duplicate);
    }
    if (others.empty()) {
        return true;
    }
    PyRef keys = PyRef::steal(PyDict_New());
    if (!keys) {
        return false;
    }
    SignalPoll poll(kTokensBetweenChecks);
    auto enter = [&](int32_t id, PyObject* holder) {
        PyRef key = PyRef::steal(PyLong_FromLong(id));
        return key && PyDict_SetItem(keys.get(), key.get(), holder) == 0 && poll.tick();
    };
    for (int32_t id : int_ids) {
        if (!enter(id, Py_None)) {
            return false;
        }
    }
    for (const auto& [id, owner] : owners_) {
        if (owner.in_stream && !enter(id, owner.token.get())) {
            return false;
        }
    }
    for (auto& [token, value] : others) {
        PyObject* holder = PyDict_SetDefault(keys.get(), value.get(), token.get());  // borrowed
        if (holder == nullptr) {
            return false;
        }
        if (holder != token.get() && !same_token(holder, token.get())) {
            return raise_shared_value(value.get());
        }
        if (!poll.tick()) {
            return false;
        }
    }
    return true;
}

}  // namespace qvc
