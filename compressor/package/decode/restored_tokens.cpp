#include "compressor/package/decode/restored_tokens.hpp"

#include "compressor/pyapi/int_conversion.hpp"
#include "compressor/pyapi/interpreter_calls.hpp"
#include "compressor/package/package_format.hpp"
#include "compressor/pyapi/signal_poll.hpp"

#include <algorithm>
#include <climits>
#include <cstring>

namespace qvc {
namespace {

const unsigned char* bytes_of(PyObject* bytes) noexcept {
    return reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(bytes));
}

void raise_record_overflow() {
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
}

// Byte positions in the stream are signed 32-bit values, which address 2^29 records.
bool within_package_limit(Py_ssize_t length, Py_ssize_t count) {
    if (static_cast<uint64_t>(count) <= kMaxPackageTokens) {
        return true;
    }
    PyErr_Format(PyExc_ValueError,
                 "token stream of %zd bytes holds more than the %llu records a package may hold",
                 length, static_cast<unsigned long long>(kMaxPackageTokens));
    return false;
}

// A record of 2^31 or more has the top bit of its first byte set. Read eight bytes (two
// records) at a time: the loop is then a plain OR over the stream, in stretches between which
// signals are answered.
bool all_records_below_2_31(const unsigned char* records, Py_ssize_t count) {
    constexpr Py_ssize_t kPairsBetweenChecks = Py_ssize_t{1} << 21;
    uint64_t merged = 0;
    const Py_ssize_t pairs = count / 2;
    for (Py_ssize_t start = 0; start < pairs; start += kPairsBetweenChecks) {
        if (PyErr_CheckSignals() != 0) {
            return false;
        }
        const Py_ssize_t end = std::min(pairs, start + kPairsBetweenChecks);
        for (Py_ssize_t i = start; i < end; ++i) {
            uint64_t word;
            std::memcpy(&word, records + 8 * i, sizeof word);
            merged |= word;
        }
    }
    // Bytes 0 and 4 of each word, in memory order, are the first bytes of its two records.
    const auto* merged_bytes = reinterpret_cast<const unsigned char*>(&merged);
    unsigned char high_bits = merged_bytes[0] | merged_bytes[4];
    if (count % 2 != 0) {
        high_bits |= records[4 * (count - 1)];
    }
    if ((high_bits & 0x80) != 0) {
        raise_record_overflow();
        return false;
    }
    return true;
}

// `inverse_dict.get(token_id, "<UNK>")` on whatever the object's `inverse_dict` is now.
PyRef look_up_token(ModuleState* st, CompressorObject* self, int32_t token_id) {
    PyRef inverse = PyRef::borrow(self->inverse_dict);
    PyRef key = PyRef::steal(PyLong_FromLong(token_id));
    if (!key) {
        return {};
    }
    if (!PyDict_CheckExact(inverse.get())) {
        return call_method(inverse.get(), st->s_get, key.get(), st->s_unknown_token);
    }
    PyObject* found = PyDict_GetItemWithError(inverse.get(), key.get());  // borrowed
    if (found != nullptr) {
        return PyRef::borrow(found);
    }
    if (PyErr_Occurred()) {
        return {};
    }
    return PyRef::borrow(st->s_unknown_token);
}

// (data[4i] << 24) | (data[4i+1] << 16) | (data[4i+2] << 8) | data[4i+3], with the
// interpreter's subscript, shift and or, the four items read first.
PyRef record_value_of_items(PyObject* data, Py_ssize_t i, PyObject* const shifts[3]) {
    PyRef items[4];
    for (Py_ssize_t k = 0; k < 4; ++k) {
        PyRef position = PyRef::steal(PyLong_FromSsize_t(4 * i + k));
        items[k] = position ? PyRef::steal(PyObject_GetItem(data, position.get())) : PyRef{};
        if (!items[k]) {
            return {};
        }
    }
    PyRef value = PyRef::steal(PyNumber_Lshift(items[0].get(), shifts[0]));
    for (int k = 1; k < 3 && value; ++k) {
        PyRef shifted = PyRef::steal(PyNumber_Lshift(items[k].get(), shifts[k]));
        value = shifted ? PyRef::steal(PyNumber_Or(value.get(), shifted.get())) : PyRef{};
    }
    return value ? PyRef::steal(PyNumber_Or(value.get(), items[3].get())) : PyRef{};
}

// The tokens of `count` records, one lookup per record in order; `read_id(i, id)` gives the
// id of record i.
template <typename ReadId>
PyRef token_list(ModuleState* st, CompressorObject* self, Py_ssize_t count, ReadId read_id) {
    PyRef tokens = PyRef::steal(PyList_New(count));
    if (!tokens) {
        return {};
    }
    SignalPoll poll(kTokensBetweenChecks);
    for (Py_ssize_t i = 0; i < count; ++i) {
        int32_t token_id;
        if (!poll.tick() || !read_id(i, token_id)) {
            return {};
        }
        PyRef token = look_up_token(st, self, token_id);
        if (!token) {
            return {};
        }
        PyList_SET_ITEM(tokens.get(), i, token.release());
    }
    return tokens;
}

// The error "".join raises for an entry that is not a str, `index` counted from the slice's
// start.
void raise_join_type_error(Py_ssize_t index, PyObject* item) {
    PyErr_Format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found", index,
                 Py_TYPE(item)->tp_name);
}

// The UnicodeEncodeError that writing `token` raises: UTF-8 has no form for a lone surrogate.
bool raise_unencodable(PyObject* token) {
    PyRef encoded = PyRef::steal(PyUnicode_AsUTF8String(token));
    if (encoded) {
        PyErr_SetString(PyExc_SystemError, "a token thought unencodable was encoded");
    }
    return false;
}

size_t kind_of_max_char(Py_UCS4 max_char) noexcept {
    return max_char < 0x100 ? 1 : max_char < 0x10000 ? 2 : 4;
}

// The characters of one token, wherever they are kept.
struct StrChars {
    int kind;
    const void* data;
    size_t length;

    size_t bytes() const noexcept { return length * static_cast<size_t>(kind); }
};

StrChars str_chars(PyObject* str) noexcept {
    return {static_cast<int>(PyUnicode_KIND(str)), PyUnicode_DATA(str),
            static_cast<size_t>(PyUnicode_GET_LENGTH(str))};
}

// A token longer than a piece, written in parts of at most a piece each. Each part is a str of
// its own characters' storage, as slicing the token would give.
bool write_in_parts(const StrChars& token, TextSink& sink) {
    const size_t part_chars = RestoredTokens::kPieceBytes / static_cast<size_t>(token.kind);
    const auto* data = static_cast<const char*>(token.data);
    for (size_t at = 0; at < token.length; at += part_chars) {
        const size_t n = std::min(part_chars, token.length - at);
        PyRef part = PyRef::steal(PyUnicode_FromKindAndData(
            token.kind, data + at * static_cast<size_t>(token.kind), static_cast<Py_ssize_t>(n)));
        if (!part || !sink.write(part.get())) {
            return false;
        }
    }
    return true;
}

// "".join(tokens[start:start + length])
PyRef join_list_slice(PyObject* tokens, Py_ssize_t start, Py_ssize_t length) {
    PyRef slice = PyRef::steal(PyList_GetSlice(tokens, start, start + length));
    PyRef separator = PyRef::steal(PyUnicode_New(0, 0));
    return slice && separator ? PyRef::steal(PyUnicode_Join(separator.get(), slice.get()))
                              : PyRef{};
}

// The strs of list entries [start, start + length), all known to be encodable, handed to
// `sink` in consecutive pieces of at most a piece each, each the join of its entries; a str
// longer than a piece is split between several.
bool write_items_in_pieces(PyObject* tokens, Py_ssize_t start, Py_ssize_t length,
                           TextSink& sink) {
    PyObject* const* items = PySequence_Fast_ITEMS(tokens) + start;
    Py_ssize_t i = 0;
    while (i < length) {
        if (PyErr_CheckSignals() != 0) {
            return false;
        }
        const StrChars first_chars = str_chars(items[i]);
        if (first_chars.bytes() > RestoredTokens::kPieceBytes) {
            if (!write_in_parts(first_chars, sink)) {
                return false;
            }
            ++i;
            continue;
        }
        // The entries that fit in one piece at the storage kind of the widest of them.
        Py_ssize_t end = i;
        size_t piece_chars = 0;
        Py_UCS4 piece_max_char = 0;
        while (end < length) {
            PyObject* item = items[end];
            const Py_UCS4 widened = std::max(piece_max_char, PyUnicode_MAX_CHAR_VALUE(item));
            const size_t chars_after =
                piece_chars + static_cast<size_t>(PyUnicode_GET_LENGTH(item));
            if (chars_after * kind_of_max_char(widened) > RestoredTokens::kPieceBytes) {
                break;
            }
            piece_chars = chars_after;
            piece_max_char = widened;
            ++end;
        }
        if (piece_chars != 0) {
            PyRef piece = join_list_slice(tokens, start + i, end - i);
            if (!piece || !sink.write(piece.get())) {
                return false;
            }
        }
        i = end;
    }
    return true;
}

}  // namespace

bool RestoredTokens::decode(ModuleState* st, CompressorObject* self, PyObject* data,
                            RestoredTokens& out) {
    PyRef records;
    if (PyBytes_CheckExact(data)) {
        records = PyRef::borrow(data);
    } else if (PyByteArray_CheckExact(data)) {
        // Files are built from the records after interpreter code has run (os.makedirs, open),
        // which must not be able to change them underneath: keep an immutable copy.
        records = PyRef::steal(
            PyBytes_FromStringAndSize(PyByteArray_AS_STRING(data), PyByteArray_GET_SIZE(data)));
        if (!records) {
            return false;
        }
    }

    if (records) {
        const Py_ssize_t length = PyBytes_GET_SIZE(records.get());
        const Py_ssize_t count = length / 4;
        if (!within_package_limit(length, count)) {
            return false;
        }
        const unsigned char* bytes = bytes_of(records.get());
        std::optional<TokenTable> table;
        if (!TokenTable::build(self->inverse_dict, st->s_unknown_token, table)) {
            return false;
        }
        if (table) {
            if (!all_records_below_2_31(bytes, count)) {
                return false;
            }
            out.count_ = count;
            out.records_ = std::move(records);
            out.table_ = std::move(table);
            return true;
        }
        out.tokens_ = token_list(st, self, count, [&](Py_ssize_t i, int32_t& token_id) {
            uint32_t value = load_record(bytes + 4 * i);
            if (value > static_cast<uint32_t>(INT32_MAX)) {
                raise_record_overflow();
                return false;
            }
            token_id = static_cast<int32_t>(value);
            return true;
        });
        out.count_ = count;
        return static_cast<bool>(out.tokens_);
    }

    const Py_ssize_t length = PyObject_Size(data);
    if (length < 0) {
        return false;
    }
    const Py_ssize_t count = length / 4;
    if (!within_package_limit(length, count)) {
        return false;
    }
    PyRef shift_24 = PyRef::steal(PyLong_FromLong(24));
    PyRef shift_16 = PyRef::steal(PyLong_FromLong(16));
    PyRef shift_8 = PyRef::steal(PyLong_FromLong(8));
    if (!shift_24 || !shift_16 || !shift_8) {
        return false;
    }
    PyObject* const shifts[3] = {shift_24.get(), shift_16.get(), shift_8.get()};
    out.tokens_ = token_list(st, self, count, [&](Py_ssize_t i, int32_t& token_id) {
        PyRef value = record_value_of_items(data, i, shifts);
        return value && to_int32(value.get(), &token_id);
    });
    out.count_ = count;
    return static_cast<bool>(out.tokens_);
}

bool RestoredTokens::write_slice(Py_ssize_t start, Py_ssize_t stop, TextSink& sink) {
    const Py_ssize_t length = PySlice_AdjustIndices(count_, &start, &stop, 1);
    return table_ ? write_records(start, length, sink) : write_list_items(start, length, sink);
}

bool RestoredTokens::utf8_text(Py_ssize_t start, Py_ssize_t stop, size_t limit,
                               Utf8Buffer& out, bool& whole) {
    const Py_ssize_t length = PySlice_AdjustIndices(count_, &start, &stop, 1);
    Py_ssize_t taken = 0;
    if (!build_utf8_text(*table_, bytes_of(records_.get()) + 4 * start, length, limit, out,
                         taken)) {
        return false;
    }
    whole = taken == length;
    return true;
}

bool RestoredTokens::write_records(Py_ssize_t start, Py_ssize_t length, TextSink& sink) {
    const unsigned char* records = bytes_of(records_.get()) + 4 * start;
    Py_ssize_t done = 0;
    do {
        if (done != 0 && PyErr_CheckSignals() != 0) {
            return false;
        }
        Py_ssize_t taken = 0;
        if (!build_utf8_text(*table_, records + 4 * done, length - done, kPieceBytes, piece_,
                             taken)) {
            return false;
        }
        bool written = true;
        if (taken == 0 && done < length) {
            const TokenSlot& slot = table_->slot(load_record(records + 4 * done));
            written = write_in_parts({slot.kind, slot.data(), slot.length}, sink);
            taken = 1;
        } else if (piece_.size != 0 || (done == 0 && taken == length)) {
            // A piece of nothing but empty tokens is left out, unless it is the whole text.
            PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(
                piece_.data.get(), static_cast<Py_ssize_t>(piece_.size), nullptr));
            if (taken != length) {
                // A text in pieces: its bytes are let go while the str of a piece is written
                // (and encoded again), so that no more than two copies of a piece are held.
                piece_ = Utf8Buffer{};
            }
            written = text && sink.write(text.get());
        }
        if (!written) {
            return false;
        }
        done += taken;
    } while (done < length);
    return true;
}

bool RestoredTokens::write_list_items(Py_ssize_t start, Py_ssize_t length, TextSink& sink) {
    // The list is ours alone and nothing changes it, also while a write runs interpreter code:
    // its entries stay alive and in place.
    PyObject* const* items = PySequence_Fast_ITEMS(tokens_.get()) + start;
    size_t storage = 0;  // bytes of the whole text, counted only as far as a piece's size
    size_t chars = 0;
    Py_UCS4 max_char = 0;
    SignalPoll poll(kTokensBetweenChecks);
    for (Py_ssize_t i = 0; i < length; ++i) {
        PyObject* item = items[i];
        if (!PyUnicode_Check(item)) {
            raise_join_type_error(i, item);
            return false;
        }
        if (!poll.tick()) {
            return false;
        }
#if PY_VERSION_HEX < 0x030C0000
        if (PyUnicode_READY(item) < 0) {
            return false;
        }
#endif
        if (storage <= kPieceBytes) {
            chars += static_cast<size_t>(PyUnicode_GET_LENGTH(item));
            max_char = std::max(max_char, PyUnicode_MAX_CHAR_VALUE(item));
            storage = chars * kind_of_max_char(max_char);
        }
    }
    if (storage <= kPieceBytes) {
        PyRef text = join_list_slice(tokens_.get(), start, length);
        return text && sink.write(text.get());
    }
    // Written in pieces: as the one write of the whole text would, fail before writing anything
    // when UTF-8 cannot encode it.
    for (Py_ssize_t i = 0; i < length; ++i) {
        if (holds_surrogate(items[i])) {
            return raise_unencodable(items[i]);
        }
        if (!poll.tick()) {
            return false;
        }
    }
    return write_items_in_pieces(tokens_.get(), start, length, sink);
}

}  // namespace qvc
