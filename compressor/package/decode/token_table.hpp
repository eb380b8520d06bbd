// The decoder's own id -> token table, built once from a freshly inverted vocabulary, so that a
// record turns into its token's characters without an interpreter lookup per record.
#pragma once

#include "compressor/pyapi/py_ref.hpp"

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

namespace qvc {

// The four classes of str storage, coded so that OR is max: ASCII, other Latin-1, UCS-2, UCS-4.
constexpr uint8_t kWidthAscii = 0x1, kWidthLatin1 = 0x3, kWidthUcs2 = 0x7, kWidthUcs4 = 0xF;

// One token as text building needs it, in half a cache line (aligned, so never across two).
// Short tokens carry their characters inline, so a lookup touches one place in memory and the
// copy is of a fixed size.
struct alignas(32) TokenSlot {
    static constexpr size_t kInlineBytes = 24;
    static constexpr uint8_t kNotSimple = 0xFF;

    // The width of a one-byte-kind token held inline, the common case that text building copies
    // without looking at anything else; kNotSimple for every other token.
    uint8_t simple_width = kNotSimple;
    uint8_t kind = 0;         // PyUnicode kind (1, 2, 4); 0 when the token is not a str that
                              // fits here, and the interpreter's join must handle `object`
    uint8_t width = 0;        // kWidth* above
    bool is_inline = false;   // characters in `storage` rather than behind `chars`
    uint32_t length = 0;      // in characters
    union {
        const void* chars;
        PyObject* object;
        unsigned char storage[kInlineBytes];
    };

    TokenSlot() : chars(nullptr) {}
    const void* data() const noexcept { return is_inline ? storage : chars; }
    size_t byte_length() const noexcept { return size_t{length} * kind; }
};
static_assert(sizeof(TokenSlot) == 32);

// The token as an object of its own (new reference), for the rare text that the interpreter's
// join has to build: an equal str made from the slot's characters, or the token itself.
PyObject* token_object(const TokenSlot& slot);

// The maxchar argument of PyUnicode_New for text whose widest token has class `width`.
inline Py_UCS4 max_char_of_width(uint8_t width) noexcept {
    return width == kWidthUcs4 ? 0x10FFFF : width == kWidthUcs2 ? 0xFFFF
                                          : width == kWidthLatin1 ? 0xFF
                                          : width == kWidthAscii ? 0x7F : 0;
}

// The record value that the int `id` stands for, when a record can hold it at all.
std::optional<uint32_t> record_value_of(PyObject* id) noexcept;

class TokenTable {
public:
    // The table for `inverse` when it is an exact dict whose keys are all exact ints (ids of
    // another type can compare equal to an int, 1.0 or True, so only then is a lookup by
    // integer value the same as the dict's own `get`). Sets `out` to nothing when `inverse`
    // does not qualify, or when it changed while the walk answered signals. Ids the dict lacks
    // map to `unknown_token`. Returns false with an exception set on failure.
    static bool build(PyObject* inverse, PyObject* unknown_token, std::optional<TokenTable>& out);


    // Slots of the ids below dense_size(), by id; the rest through slot_beyond_dense().
    const TokenSlot* dense_slots() const noexcept { return dense_.data(); }
    size_t dense_size() const noexcept { return dense_.size(); }

    // `id` is a record value at or above dense_size(), below 2^31. Out of line: it is rare, and
    // the hot loops around a lookup keep more in registers without it.
    [[gnu::cold]] const TokenSlot& slot_beyond_dense(uint32_t id) const noexcept;

    const TokenSlot& slot(uint32_t id) const noexcept {
        return id < dense_.size() ? dense_[id] : slot_beyond_dense(id);
    }

    // Whether some slot holds its token as an object, one that is not a str or a str too long
    // for a slot's length (a slot replaced since still counts).
    bool has_object_slots() const noexcept { return has_object_slots_; }

    // Whether some slot's token holds a lone surrogate, which UTF-8 cannot encode (a slot
    // replaced since still counts).
    bool has_unencodable_slots() const noexcept { return has_unencodable_slots_; }

private:
    friend class TokenTableBuilder;

    TokenTable() = default;
    bool fill(TokenSlot& slot, PyObject* token);

    // The tokens that slots point into: long strs and tokens that are not strs. Short tokens
    // live on as copies in their slots.
    std::vector<PyRef> held_;
    std::vector<TokenSlot> dense_;
    std::unordered_map<uint32_t, TokenSlot> sparse_;
    TokenSlot unknown_;
    bool has_object_slots_ = false;
    bool has_unencodable_slots_ = false;
};

// Whether `str` holds a lone surrogate (U+D800 to U+DFFF), which no UTF-8 text holds.
bool holds_surrogate(PyObject* str) noexcept;

// Makes a table one (id, token) pair at a time; a later pair of an id replaces an earlier one.
class TokenTableBuilder {
public:
    // At most `id_count` ids will be added; that bounds the plain array of slots.
    TokenTableBuilder(PyObject* unknown_token, size_t id_count);

    // `token` need only stay alive until this returns. `id` is a record value. Returns false
    // with an exception set on failure.
    bool add(uint32_t id, PyObject* token);

    TokenTable finish() && { return std::move(table_); }

private:
    TokenTable table_;
    size_t dense_limit_;
};

}  // namespace qvc
