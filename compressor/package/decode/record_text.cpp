#include "compressor/package/decode/record_text.hpp"

#include "compressor/package/package_format.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qvc {
namespace {

// Records looked ahead: in a large vocabulary most of a lookup is the wait for the slot to
// arrive from memory, so its line is asked for this many tokens before it is needed.
constexpr Py_ssize_t kPrefetchDistance = 64;
// Simple tokens copied between two checks of the buffer's room.
constexpr Py_ssize_t kBatch = 64;
// A text is written straight into its str, made with room for a whole slot per record, when
// that room is at most this many characters (16 MiB at four bytes each): the text is then never
// copied. A longer one is gathered in the builder's buffer and copied once.
constexpr size_t kInPlaceChars = size_t{1} << 22;

// An inline one-byte token written at two bytes per character, whole slot at once (48 bytes).
void widen_inline_to_ucs2(unsigned char* out, const TokenSlot& slot) noexcept {
    static_assert(TokenSlot::kInlineBytes == 24);
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(slot.storage));
    const __m128i high = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(slot.storage + 16));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(low, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), _mm_unpackhi_epi8(low, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32), _mm_unpacklo_epi8(high, zero));
#else
    for (size_t k = 0; k < TokenSlot::kInlineBytes; ++k) {
        const Py_UCS2 wide = slot.storage[k];
        std::memcpy(out + 2 * k, &wide, sizeof wide);
    }
#endif
}

template <typename In, typename Out>
void widen_chars(Out* out, const In* in, size_t count) noexcept {
    for (size_t i = 0; i < count; ++i) {
        out[i] = in[i];
    }
}

// A token of a narrower kind than the text: its characters widened one by one.
void copy_widened(unsigned char* out, int kind, const TokenSlot& slot) noexcept {
    const void* in = slot.data();
    if (kind == PyUnicode_2BYTE_KIND) {
        widen_chars(reinterpret_cast<Py_UCS2*>(out), static_cast<const Py_UCS1*>(in), slot.length);
    } else if (slot.kind == PyUnicode_1BYTE_KIND) {
        widen_chars(reinterpret_cast<Py_UCS4*>(out), static_cast<const Py_UCS1*>(in), slot.length);
    } else {
        widen_chars(reinterpret_cast<Py_UCS4*>(out), static_cast<const Py_UCS2*>(in), slot.length);
    }
}

// `count` characters rewritten wider into a buffer of their own: a plain forward loop over two
// buffers that the compiler vectorizes.
template <typename In, typename Out>
void widen_into(unsigned char* __restrict out, const unsigned char* __restrict in,
                size_t count) noexcept {
    for (size_t i = 0; i < count; ++i) {
        In c;
        std::memcpy(&c, in + i * sizeof(In), sizeof(In));
        const Out wide = c;
        std::memcpy(out + i * sizeof(Out), &wide, sizeof(Out));
    }
}

}  // namespace

// Record i's slot, and the slot of a record further on asked for in advance.
struct RecordLookup {
    RecordLookup(const TokenTable& table, const unsigned char* records, Py_ssize_t count,
                 Py_ssize_t readable)
        : table(table),
          records(records),
          dense(table.dense_slots()),
          dense_size(table.dense_size()),
          count(count),
          prefetch_end(std::min(count, readable - kPrefetchDistance)) {}

    const TokenSlot& slot_of_id(uint32_t id) const noexcept {
        return id < dense_size ? dense[id] : table.slot_beyond_dense(id);
    }

    const TokenSlot& slot(Py_ssize_t i) const noexcept {
        return slot_of_id(load_record(records + 4 * i));
    }

    std::pair<uint32_t, uint32_t> two_ids(Py_ssize_t i) const noexcept {
        return {load_record(records + 4 * i), load_record(records + 4 * (i + 1))};
    }

    // Always inlined: a function whose only effect is a prefetch counts as pure to the
    // optimizer, and a call to it whose result is unused gets dropped.
    [[gnu::always_inline]] void prefetch_id(uint32_t id) const noexcept {
        // Integer arithmetic: an id beyond the array only asks for a line nobody reads, and a
        // prefetch never faults.
        __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<uintptr_t>(dense) +
                                                         uintptr_t{id} * sizeof(TokenSlot)));
    }

    // For i below prefetch_end only: the record looked at is read from the stream.
    [[gnu::always_inline]] void prefetch(Py_ssize_t i) const noexcept {
        prefetch_id(load_record(records + 4 * (i + kPrefetchDistance)));
    }

    // For i + 1 below prefetch_end only.
    [[gnu::always_inline]] void prefetch_two(Py_ssize_t i) const noexcept {
        const auto [first, second] = two_ids(i + kPrefetchDistance);
        prefetch_id(first);
        prefetch_id(second);
    }

    const TokenTable& table;
    const unsigned char* records;
    const TokenSlot* dense;
    size_t dense_size;
    Py_ssize_t count;         // records of the text
    Py_ssize_t prefetch_end;  // records below it look ahead without passing the stream's end
};

namespace {

// Copies one token into a text of kind `Kind` at `buffer + used` when it is a simple one for
// that kind: an inline one-byte token (widened for a text of two bytes per character), or for
// such a text an inline two-byte one. Returns false, copying nothing, for any other token.
template <int Kind>
[[gnu::always_inline]] inline bool take_simple(const TokenSlot& slot, unsigned char* buffer,
                                               size_t& used, uint8_t& width) noexcept {
    if constexpr (Kind == PyUnicode_1BYTE_KIND) {
        if (slot.simple_width > kWidthLatin1) {
            return false;
        }
        std::memcpy(buffer + used, slot.storage, TokenSlot::kInlineBytes);
    } else {
        if (slot.simple_width <= kWidthLatin1) {
            widen_inline_to_ucs2(buffer + used, slot);
        } else if (slot.kind == PyUnicode_2BYTE_KIND && slot.is_inline) {
            std::memcpy(buffer + used, slot.storage, TokenSlot::kInlineBytes);
        } else {
            return false;
        }
    }
    used += size_t{slot.length} * Kind;
    width |= slot.width;
    return true;
}

// Copies the simple tokens of records [i, end) into a text of kind `Kind` at `buffer + used`,
// which has room for all of them, and returns the first record it did not take. With
// LookAhead, every record up to `end` may look ahead.
template <int Kind, bool LookAhead>
Py_ssize_t copy_simple_run(const RecordLookup& lookup, Py_ssize_t i, Py_ssize_t end,
                           unsigned char* buffer, size_t& used, uint8_t& width) noexcept {
    // Two records at a time, which halves the loop's own work.
    for (; i + 1 < end; i += 2) {
        if constexpr (LookAhead) {
            lookup.prefetch_two(i);
        }
        const auto ids = lookup.two_ids(i);
        if (!take_simple<Kind>(lookup.slot_of_id(ids.first), buffer, used, width)) {
            return i;
        }
        if (!take_simple<Kind>(lookup.slot_of_id(ids.second), buffer, used, width)) {
            return i + 1;
        }
    }
    if (i < end) {
        if constexpr (LookAhead) {
            lookup.prefetch(i);
        }
        if (take_simple<Kind>(lookup.slot(i), buffer, used, width)) {
            ++i;
        }
    }
    return i;
}

// The run loop for a text of kind `kind`; text of four bytes per character has none, and every
// token of it takes the general way.
Py_ssize_t copy_simple_tokens(int kind, bool look_ahead, const RecordLookup& lookup,
                              Py_ssize_t i, Py_ssize_t end, unsigned char* buffer, size_t& used,
                              uint8_t& width) noexcept {
    constexpr int kOne = PyUnicode_1BYTE_KIND, kTwo = PyUnicode_2BYTE_KIND;
    if (kind == kOne) {
        return look_ahead ? copy_simple_run<kOne, true>(lookup, i, end, buffer, used, width)
                          : copy_simple_run<kOne, false>(lookup, i, end, buffer, used, width);
    }
    if (kind == kTwo) {
        return look_ahead ? copy_simple_run<kTwo, true>(lookup, i, end, buffer, used, width)
                          : copy_simple_run<kTwo, false>(lookup, i, end, buffer, used, width);
    }
    return i;
}

// Copies ASCII tokens of records [i, end) into `out`, which holds `capacity` bytes with room
// for `used` plus a whole slot for each record left, and returns the first record it did not
// take: one that is not an ASCII str, or a long one that would leave too little room. With
// LookAhead, every record up to `end` may look ahead.
template <bool LookAhead>
Py_ssize_t copy_ascii_run(const RecordLookup& lookup, Py_ssize_t i, Py_ssize_t end,
                          unsigned char* out, size_t capacity, size_t& used) noexcept {
    while (true) {
        // Short tokens two records at a time, which halves the loop's own work.
        for (; i + 1 < end; i += 2) {
            if constexpr (LookAhead) {
                lookup.prefetch_two(i);
            }
            const auto ids = lookup.two_ids(i);
            const TokenSlot& first = lookup.slot_of_id(ids.first);
            if (first.simple_width != kWidthAscii) {
                break;
            }
            std::memcpy(out + used, first.storage, TokenSlot::kInlineBytes);
            used += first.length;
            const TokenSlot& second = lookup.slot_of_id(ids.second);
            if (second.simple_width != kWidthAscii) {
                ++i;
                break;
            }
            std::memcpy(out + used, second.storage, TokenSlot::kInlineBytes);
            used += second.length;
        }
        if (i >= end) {
            return i;
        }
        // The last record, or one the pairs did not take.
        if constexpr (LookAhead) {
            lookup.prefetch(i);
        }
        const TokenSlot& slot = lookup.slot(i);
        if (slot.simple_width == kWidthAscii) {
            std::memcpy(out + used, slot.storage, TokenSlot::kInlineBytes);
        } else {
            const size_t room_left = static_cast<size_t>(end - i) * TokenSlot::kInlineBytes;
            if (slot.kind != PyUnicode_1BYTE_KIND || slot.width != kWidthAscii ||
                used + slot.length + room_left > capacity) {
                return i;
            }
            std::memcpy(out + used, slot.data(), slot.length);
        }
        used += slot.length;
        ++i;
    }
}

PyRef join_through_interpreter(const TokenTable& table, const unsigned char* records,
                               Py_ssize_t count) {
    PyRef tokens = PyRef::steal(PyList_New(count));
    PyRef separator = PyRef::steal(PyUnicode_New(0, 0));
    if (!tokens || !separator) {
        return {};
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* token = token_object(table.slot(load_record(records + 4 * i)));
        if (token == nullptr) {
            return {};
        }
        PyList_SET_ITEM(tokens.get(), i, token);
    }
    return PyRef::steal(PyUnicode_Join(separator.get(), tokens.get()));
}

// A new str with room for `capacity` characters of a text of class `width`.
PyRef new_text(size_t capacity, uint8_t width) {
    return PyRef::steal(PyUnicode_New(static_cast<Py_ssize_t>(capacity), max_char_of_width(width)));
}

// Whether a token that a run does not take still belongs in a text of at most `limit` bytes
// that holds `used` bytes of kind `kind`. Asked before the text is widened for it, so that a
// wide token cannot make the text four times its size and then not fit after all. A token held
// as an object never belongs: the caller deals with it.
bool fits(const TokenSlot& slot, size_t used, int kind, size_t limit) noexcept {
    const size_t new_kind = std::max<size_t>(kind, slot.kind);
    return slot.kind != 0 && (used / kind + slot.length) * new_kind <= limit;
}

// Replaces `text`, whose first `used` bytes hold characters of kind `kind`, by a new str with
// room for `capacity` characters of class `width` that starts with the same characters;
// `kind` and `used` then describe the new str. False with an exception set on failure.
bool carry_into_wider_text(PyRef& text, size_t capacity, uint8_t width, int& kind,
                           size_t& used) {
    PyRef wider = new_text(capacity, width);
    if (!wider) {
        return false;
    }
    const auto* out = static_cast<const unsigned char*>(PyUnicode_DATA(text.get()));
    auto* wider_out = static_cast<unsigned char*>(PyUnicode_DATA(wider.get()));
    const int wider_kind = static_cast<int>(PyUnicode_KIND(wider.get()));
    const size_t chars = used / kind;
    if (wider_kind == kind) {
        std::memcpy(wider_out, out, used);
    } else if (kind == PyUnicode_1BYTE_KIND && wider_kind == PyUnicode_2BYTE_KIND) {
        widen_into<Py_UCS1, Py_UCS2>(wider_out, out, chars);
    } else if (kind == PyUnicode_1BYTE_KIND) {
        widen_into<Py_UCS1, Py_UCS4>(wider_out, out, chars);
    } else {
        widen_into<Py_UCS2, Py_UCS4>(wider_out, out, chars);
    }
    text = std::move(wider);
    kind = wider_kind;
    used = chars * kind;
    return true;
}

// The str of the `taken` records' tokens gathered in `buffer` (`used` bytes of kind `kind`, of
// class `width`).
PyRef copy_into_str(const TokenTable& table, const unsigned char* records, Py_ssize_t taken,
                    const unsigned char* buffer, size_t used, int kind, uint8_t width) {
    PyRef text = PyRef::steal(PyUnicode_New(static_cast<Py_ssize_t>(used / kind),
                                            max_char_of_width(width)));
    if (!text || used == 0) {
        return text;
    }
    if (static_cast<int>(PyUnicode_KIND(text.get())) != kind) {
        // Tokens in a storage no str of their characters has: let the interpreter decide.
        return join_through_interpreter(table, records, taken);
    }
    std::memcpy(PyUnicode_DATA(text.get()), buffer, used);
    return text;
}

// The text of the first `taken` of the lookup's records (see RecordTextBuilder::join), written
// straight into a str made with room for a whole slot per record. The str is made for the
// widest class of token met so far (ASCII at first) and made again, with the characters so far
// carried over, when a wider one turns up: every str it returns is as the interpreter would have
// made it. Cut to size at the end.
PyRef gather_in_place(const RecordLookup& lookup, size_t limit, Py_ssize_t& taken) {
    const Py_ssize_t count = lookup.count;
    const bool look_ahead = count <= lookup.prefetch_end;
    size_t capacity = static_cast<size_t>(count + 1) * TokenSlot::kInlineBytes;  // characters
    uint8_t width = kWidthAscii;
    int kind = PyUnicode_1BYTE_KIND;
    PyRef text = new_text(capacity, width);
    if (!text) {
        return {};
    }
    auto* out = static_cast<unsigned char*>(PyUnicode_DATA(text.get()));
    size_t used = 0;  // bytes
    Py_ssize_t i = 0;
    // Invariant: before record i, the room left holds a whole slot for each record left.
    while (true) {
        if (width == kWidthAscii) {
            i = look_ahead ? copy_ascii_run<true>(lookup, i, count, out, capacity, used)
                           : copy_ascii_run<false>(lookup, i, count, out, capacity, used);
        } else {
            uint8_t run_width = width;
            i = copy_simple_tokens(kind, look_ahead, lookup, i, count, out, used, run_width);
        }
        if (i == count) {
            break;
        }
        // One token a run does not take: a long one, a wider one, or one that is not a str.
        if (look_ahead) {
            lookup.prefetch(i);
        }
        const TokenSlot& slot = lookup.slot(i);
        if (!fits(slot, used, kind, limit)) {
            break;
        }
        if ((width | slot.width) != width) {
            // Room at the wider kind only for what the limit lets in (no less than the text so
            // far, which fits).
            const size_t left = static_cast<size_t>(count - i) * TokenSlot::kInlineBytes;
            capacity = std::min(capacity, limit / std::max<size_t>(kind, slot.kind) + left);
            width |= slot.width;
            if (!carry_into_wider_text(text, capacity, width, kind, used)) {
                return {};
            }
            out = static_cast<unsigned char*>(PyUnicode_DATA(text.get()));
        }
        const size_t reserved = static_cast<size_t>(count - i - 1) * TokenSlot::kInlineBytes;
        const size_t needed = used / kind + slot.length + reserved;
        if (needed > capacity) {
            // Doubling stops where no text within the limit can reach.
            capacity = std::max(needed, std::min(2 * capacity, limit / kind + reserved));
            PyObject* resized = text.release();
            if (PyUnicode_Resize(&resized, static_cast<Py_ssize_t>(capacity)) < 0) {
                Py_DECREF(resized);
                return {};
            }
            text = PyRef::steal(resized);
            out = static_cast<unsigned char*>(PyUnicode_DATA(text.get()));
        }
        if (slot.kind == kind) {
            std::memcpy(out + used, slot.data(), slot.byte_length());
        } else {
            copy_widened(out + used, kind, slot);
        }
        used += size_t{slot.length} * kind;
        ++i;
    }
    taken = i;
    PyObject* resized = text.release();
    if (PyUnicode_Resize(&resized, static_cast<Py_ssize_t>(used / kind)) < 0) {
        Py_DECREF(resized);
        return {};
    }
    return PyRef::steal(resized);
}

}  // namespace

PyRef RecordTextBuilder::join(const TokenTable& table, const unsigned char* records,
                              Py_ssize_t count, Py_ssize_t readable, size_t limit,
                              Py_ssize_t& taken) noexcept {
    taken = 0;
    // The caller has a file open: the failure must come back as an exception, not unwind.
    try {
        return gather(table, records, count, readable, limit, taken);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return {};
    }
}

void RecordTextBuilder::grow(size_t bytes, size_t used, size_t most) {
    size_t capacity = std::max(bytes, std::min(capacity_ * 2, most));
    std::unique_ptr<unsigned char[]> larger(new unsigned char[capacity]);
    if (used != 0) {
        std::memcpy(larger.get(), buffer_.get(), used);
    }
    buffer_ = std::move(larger);
    capacity_ = capacity;
}

// The `used` bytes gathered so far, of kind `kind`, rewritten at `new_kind` (in the spare
// buffer, which then takes the place of the first).
void RecordTextBuilder::widen(size_t used, int kind, int new_kind, size_t most) {
    const size_t count = used / kind;
    if (spare_capacity_ < capacity_) {
        spare_.reset(new unsigned char[capacity_]);
        spare_capacity_ = capacity_;
    }
    std::swap(buffer_, spare_);
    std::swap(capacity_, spare_capacity_);
    if (count * new_kind > capacity_) {
        capacity_ = std::max(count * new_kind, std::min(capacity_ * 2, most));
        buffer_.reset(new unsigned char[capacity_]);
    }
    if (kind == PyUnicode_1BYTE_KIND && new_kind == PyUnicode_2BYTE_KIND) {
        widen_into<Py_UCS1, Py_UCS2>(buffer_.get(), spare_.get(), count);
    } else if (kind == PyUnicode_1BYTE_KIND) {
        widen_into<Py_UCS1, Py_UCS4>(buffer_.get(), spare_.get(), count);
    } else {
        widen_into<Py_UCS2, Py_UCS4>(buffer_.get(), spare_.get(), count);
    }
}

PyRef RecordTextBuilder::gather(const TokenTable& table, const unsigned char* records,
                                Py_ssize_t count, Py_ssize_t readable, size_t limit,
                                Py_ssize_t& taken) {
    const RecordLookup lookup{table, records, count, readable};
    if (count == 0) {
        return PyRef::steal(PyUnicode_New(0, 0));
    }
    if (static_cast<size_t>(count + 1) * TokenSlot::kInlineBytes <= kInPlaceChars) {
        return gather_in_place(lookup, limit, taken);
    }
    return gather_in_buffer(lookup, limit, taken);
}

PyRef RecordTextBuilder::gather_in_buffer(const RecordLookup& lookup, size_t limit,
                                          Py_ssize_t& taken) {
    // No text within the limit needs more room than this (a batch of the widest simple tokens
    // past it, and the slack for one inline copy): the buffer stops doubling there.
    const size_t most = limit + (kBatch * 4 + 1) * TokenSlot::kInlineBytes;
    const Py_ssize_t count = lookup.count;
    // Everything the loops read is held in locals: their byte stores could alias any member.
    unsigned char* buffer = buffer_.get();
    size_t capacity = capacity_;
    size_t used = 0;  // bytes
    int kind = PyUnicode_1BYTE_KIND;
    uint8_t width = 0;
    Py_ssize_t i = 0;
    while (i < count && used < limit) {
        // A run of simple tokens, copied whole from their slots: the room for a batch is made
        // first, so the copies need no check of their own.
        const Py_ssize_t batch_end = std::min(count, i + kBatch);
        const size_t room =
            used + static_cast<size_t>(batch_end - i) * TokenSlot::kInlineBytes * kind;
        if (room > capacity) {
            grow(room, used, most);
            buffer = buffer_.get();
            capacity = capacity_;
        }
        const bool look_ahead = batch_end <= lookup.prefetch_end;
        i = copy_simple_tokens(kind, look_ahead, lookup, i, batch_end, buffer, used, width);
        if (i == batch_end) {
            continue;
        }
        // One token a run does not take: a long one, a wider one, or one that is not a str.
        if (i < lookup.prefetch_end) {
            lookup.prefetch(i);
        }
        const TokenSlot& slot = lookup.slot(i);
        if (!fits(slot, used, kind, limit)) {
            break;
        }
        if (slot.kind > kind) {
            widen(used, kind, slot.kind, most);
            used = used / kind * slot.kind;
            kind = slot.kind;
            buffer = buffer_.get();
            capacity = capacity_;
        }
        const size_t added = size_t{slot.length} * kind;
        // The slack lets an inline token be copied whole, whatever its length.
        if (used + added + TokenSlot::kInlineBytes > capacity) {
            grow(used + added + TokenSlot::kInlineBytes, used, most);
            buffer = buffer_.get();
            capacity = capacity_;
        }
        unsigned char* out = buffer + used;
        if (slot.kind != kind) {
            copy_widened(out, kind, slot);
        } else if (slot.is_inline) {
            std::memcpy(out, slot.storage, TokenSlot::kInlineBytes);
        } else {
            std::memcpy(out, slot.chars, added);
        }
        used += added;
        width |= slot.width;
        ++i;
    }
    taken = i;
    return copy_into_str(lookup.table, lookup.records, i, buffer_.get(), used, kind, width);
}

}  // namespace qvc
