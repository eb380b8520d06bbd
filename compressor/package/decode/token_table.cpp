#include "compressor/package/decode/token_table.hpp"

#include "compressor/pyapi/dict_change_watch.hpp"
#include "compressor/pyapi/signal_poll.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <utility>

namespace qvc {
namespace {

// Ids from 0 up to this many slots past twice the number of usable ids are kept in a plain
// array; a vocabulary handed out from 1 upward always fits, and a few huge ids in a small
// vocabulary cannot make the array large.
constexpr uint64_t kDenseSlack = 4096;

template <typename Unit>
bool holds_surrogate_unit(const Unit* data, size_t length) noexcept {
    bool found = false;
    for (size_t i = 0; i < length; ++i) {
        found |= (static_cast<uint32_t>(data[i]) - 0xD800u) < 0x800u;
    }
    return found;
}

// The record value that the int `id` stands for, when a record can hold it at all.
std::optional<uint32_t> record_value_of(PyObject* id) noexcept {
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(id, &overflow);
    if (overflow != 0 || value < 0 || value > INT32_MAX) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

}  // namespace

bool holds_surrogate(PyObject* str) noexcept {
    const size_t length = static_cast<size_t>(PyUnicode_GET_LENGTH(str));
    switch (PyUnicode_KIND(str)) {
        case PyUnicode_2BYTE_KIND:
            return holds_surrogate_unit(PyUnicode_2BYTE_DATA(str), length);
        case PyUnicode_4BYTE_KIND:
            return holds_surrogate_unit(PyUnicode_4BYTE_DATA(str), length);
        default:
            return false;
    }
}

bool TokenTable::fill(TokenSlot& slot, PyObject* token) {
    slot = TokenSlot{};
    if (!PyUnicode_Check(token)) {
        return false;
    }
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(token) < 0) {
        PyErr_Clear();  // the interpreter's lookups meet the same failure
        return false;
    }
#endif
    if (static_cast<uint64_t>(PyUnicode_GET_LENGTH(token)) > UINT32_MAX ||
        holds_surrogate(token)) {
        return false;
    }
    slot.length = static_cast<uint32_t>(PyUnicode_GET_LENGTH(token));
    slot.kind = static_cast<uint8_t>(PyUnicode_KIND(token));
    slot.ascii = PyUnicode_IS_ASCII(token);
    const size_t bytes = size_t{slot.length} * slot.kind;
    if (bytes <= TokenSlot::kInlineBytes) {
        slot.is_inline = true;
        slot.inline_ascii = slot.ascii;
        std::memcpy(slot.storage, PyUnicode_DATA(token), bytes);
    } else {
        slot.chars = PyUnicode_DATA(token);
        held_.push_back(PyRef::borrow(token));
    }
    return true;
}

bool TokenTable::add(uint32_t id, PyObject* token, size_t dense_limit) {
    if (id >= dense_limit) {
        return fill(sparse_[id], token);
    }
    if (id >= dense_.size()) {
        // Ids usually run from 1 to the number of tokens, which the reserved room holds: one
        // resize covers them all. Ids past it grow the array as a vector grows.
        dense_.resize(std::min(dense_limit, std::max<size_t>(size_t{id} + 1, dense_.capacity())),
                      unknown_);
    }
    return fill(dense_[id], token);
}

const TokenSlot& TokenTable::slot_beyond_dense(uint32_t id) const noexcept {
    if (sparse_.empty()) {
        return unknown_;
    }
    auto found = sparse_.find(id);
    return found == sparse_.end() ? unknown_ : found->second;
}

bool TokenTable::build(PyObject* inverse, PyObject* unknown_token, std::optional<TokenTable>& out) {
    out.reset();
    if (!PyDict_CheckExact(inverse)) {
        return true;
    }
    // The walk answers signals, whose handlers may run interpreter code; where the dict cannot
    // be watched for changes, it runs through without.
    const bool watchable = DictChangeWatch::available();
    DictChangeWatch watch(inverse);
    SignalPoll poll(kTokensBetweenChecks);
    PyRef held = PyRef::borrow(inverse);
    const size_t id_count = static_cast<size_t>(PyDict_GET_SIZE(inverse));
    const size_t dense_limit = static_cast<size_t>(
        std::min<uint64_t>(2 * uint64_t{id_count} + kDenseSlack, uint64_t{INT32_MAX} + 1));
    TokenTable table;
    // "<UNK>" is a short str: its slot is a copy, and making it cannot fail.
    table.fill(table.unknown_, unknown_token);
    table.dense_.reserve(std::min(dense_limit, id_count + 1));
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(inverse, &pos, &key, &value)) {
        if (!PyLong_CheckExact(key)) {
            return true;
        }
        // An id no record can hold is never looked up; a token without a slot leaves every
        // record to the interpreter's own lookups.
        std::optional<uint32_t> id = record_value_of(key);
        if (id && !table.add(*id, value, dense_limit)) {
            return true;
        }
        if (watchable && !poll.tick()) {
            return false;
        }
    }
    if (watchable && watch.changed()) {
        return true;
    }
    out = std::move(table);
    return true;
}

}  // namespace qvc
