#include "compressor/package/decode/token_table.hpp"

#include "compressor/package/decode/dict_change_watch.hpp"
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

uint8_t width_of(PyObject* str) noexcept {
    switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND:
        return PyUnicode_IS_ASCII(str) ? kWidthAscii : kWidthLatin1;
    case PyUnicode_2BYTE_KIND:
        return kWidthUcs2;
    default:
        return kWidthUcs4;
    }
}

template <typename Unit>
bool holds_surrogate_unit(const Unit* data, size_t length) noexcept {
    bool found = false;
    for (size_t i = 0; i < length; ++i) {
        found |= (static_cast<uint32_t>(data[i]) - 0xD800u) < 0x800u;
    }
    return found;
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

PyObject* token_object(const TokenSlot& slot) {
    if (slot.kind == 0) {
        return Py_NewRef(slot.object);
    }
    return PyUnicode_FromKindAndData(slot.kind, slot.data(), slot.length);
}

bool TokenTable::fill(TokenSlot& slot, PyObject* token) {
    slot = TokenSlot{};
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_Check(token) && PyUnicode_READY(token) < 0) {
        return false;
    }
#endif
    if (PyUnicode_Check(token) && holds_surrogate(token)) {
        has_unencodable_slots_ = true;
    }
    if (!PyUnicode_Check(token) ||
        static_cast<uint64_t>(PyUnicode_GET_LENGTH(token)) > UINT32_MAX) {
        slot.object = token;  // left to the interpreter's join
        held_.push_back(PyRef::borrow(token));
        has_object_slots_ = true;
        return true;
    }
    slot.length = static_cast<uint32_t>(PyUnicode_GET_LENGTH(token));
    slot.kind = static_cast<uint8_t>(PyUnicode_KIND(token));
    slot.width = width_of(token);
    if (slot.byte_length() <= TokenSlot::kInlineBytes) {
        slot.is_inline = true;
        std::memcpy(slot.storage, PyUnicode_DATA(token), slot.byte_length());
        if (slot.kind == PyUnicode_1BYTE_KIND) {
            slot.simple_width = slot.width;
        }
    } else {
        slot.chars = PyUnicode_DATA(token);
        held_.push_back(PyRef::borrow(token));
    }
    return true;
}

const TokenSlot& TokenTable::slot_beyond_dense(uint32_t id) const noexcept {
    if (sparse_.empty()) {
        return unknown_;
    }
    auto found = sparse_.find(id);
    return found == sparse_.end() ? unknown_ : found->second;
}

std::optional<uint32_t> record_value_of(PyObject* id) noexcept {
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(id, &overflow);
    if (overflow != 0 || value < 0 || value > INT32_MAX) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

TokenTableBuilder::TokenTableBuilder(PyObject* unknown_token, size_t id_count)
    : dense_limit_(static_cast<size_t>(
          std::min<uint64_t>(2 * uint64_t{id_count} + kDenseSlack, uint64_t{INT32_MAX} + 1))) {
    // "<UNK>" is a short str: its slot is a copy, and making it cannot fail.
    table_.fill(table_.unknown_, unknown_token);
    table_.dense_.reserve(std::min(dense_limit_, id_count + 1));
}

bool TokenTableBuilder::add(uint32_t id, PyObject* token) {
    if (id >= dense_limit_) {
        return table_.fill(table_.sparse_[id], token);
    }
    std::vector<TokenSlot>& dense = table_.dense_;
    if (id >= dense.size()) {
        // Ids usually run from 1 to the number of tokens, which the reserved room holds: one
        // resize covers them all. Ids past it grow the array as a vector grows.
        dense.resize(std::min(dense_limit_, std::max<size_t>(size_t{id} + 1, dense.capacity())),
                     table_.unknown_);
    }
    return table_.fill(dense[id], token);
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
    TokenTableBuilder builder(unknown_token, static_cast<size_t>(PyDict_GET_SIZE(inverse)));
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(inverse, &pos, &key, &value)) {
        if (!PyLong_CheckExact(key)) {
            return true;
        }
        std::optional<uint32_t> id = record_value_of(key);
        if (id && !builder.add(*id, value)) {
            return false;
        }
        if (watchable && !poll.tick()) {
            return false;
        }
    }
    if (watchable && watch.changed()) {
        return true;
    }
    out = std::move(builder).finish();
    return true;
}

}  // namespace qvc
