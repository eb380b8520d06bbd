#include "compressor/package/encode/id_ledger.hpp"

#include <algorithm>

namespace qvc {
namespace {

bool raise_shared_id(int32_t id) {
    PyErr_Format(PyExc_ValueError,
                 "global_dict maps more than one token to the id %d; a package needs one token "
                 "per id",
                 static_cast<int>(id));
    return false;
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

bool IdLedger::take_stock(PyObject* vocabulary) {
    if (!PyDict_Check(vocabulary)) {
        return true;
    }
    stock_ = PyRef::borrow(vocabulary);
    std::vector<int32_t> ids;
    ids.reserve(static_cast<size_t>(PyDict_GET_SIZE(vocabulary)));
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(vocabulary, &position, &key, &value)) {
        if (!PyLong_Check(value)) {
            continue;
        }
        int overflow = 0;
        const long id = PyLong_AsLongAndOverflow(value, &overflow);
        // An int beyond 32 bits can never be a record; packing a token that holds one fails in
        // the id conversion.
        if (overflow == 0 && id >= INT32_MIN && id <= INT32_MAX) {
            ids.push_back(static_cast<int32_t>(id));
        }
    }
    int32_t duplicate = 0;
    return held_.assign(ids, &duplicate) || raise_shared_id(duplicate);
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
    const bool in_stock = vocabulary == stock_.get();
    if (in_stock && PyLong_Check(value)) {
        return true;  // counted by take_stock, which found no other token holding it
    }
    // A value of another type (a float, an object with __int__), or a vocabulary the ledger
    // could not read: the id is checked against every id seen so far instead.
    auto known = owners_.find(id);
    if (known != owners_.end()) {
        return same_token(known->second.get(), token) || raise_shared_id(id);
    }
    if ((in_stock && held_.contains(id)) || handed_out_.contains(id)) {
        return raise_shared_id(id);
    }
    owners_.emplace(id, PyRef::borrow(token));
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
    if (vocabulary != stock_.get()) {
        // Nothing vouches for what such a vocabulary returns later; remember whose id this is.
        owners_.emplace(id, PyRef::borrow(token));
    }
}

}  // namespace qvc
