// The decoder's own id -> token table, built once from the object's inverse_dict, so that a
// record turns into its token's characters without an interpreter lookup per record.
#pragma once

#include "compressor/pyapi/py_ref.hpp"

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

namespace qvc {

// One token as text building needs it, in half a cache line (aligned, so never across two).
// Short tokens carry their characters inline, so a lookup touches one place in memory and the
// copy is of a fixed size.
struct alignas(32) TokenSlot {
    static constexpr size_t kInlineBytes = 24;

    // An ASCII token held inline: the common case, copied without looking at anything else.
    bool inline_ascii = false;
    bool ascii = false;
    bool is_inline = false;  // characters in `storage` rather than behind `chars`
    uint8_t kind = PyUnicode_1BYTE_KIND;
    uint32_t length = 0;     // in characters
    union {
        const void* chars;
        unsigned char storage[kInlineBytes];
    };

    TokenSlot() : chars(nullptr) {}
    const void* data() const noexcept { return is_inline ? storage : chars; }
};
static_assert(sizeof(TokenSlot) == 32);

// Whether `str` holds a lone surrogate (U+D800 to U+DFFF), which no UTF-8 text holds.
bool holds_surrogate(PyObject* str) noexcept;

class TokenTable {
public:
    // The table for `inverse` when it is an exact dict whose keys are all exact ints (ids of
    // another type can compare equal to an int, 1.0 or True, so only then is a lookup by
    // integer value the same as the dict's own `get`) and whose values are all strs that UTF-8
    // can encode, of fewer than 2^32 characters: every text built from it can then be written,
    // and only the interpreter's own lookups and join can raise what any other token raises.
    // Sets `out` to nothing when `inverse` does not qualify, or when it changed while the walk
    // answered signals. Ids the dict lacks map to `unknown_token`. Returns false with an
    // exception set on failure.
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

private:
    TokenTable() = default;
    // False when `token` cannot have a slot (see build).
    bool fill(TokenSlot& slot, PyObject* token);
    // A later pair of an id replaces an earlier one. False when the token cannot have a slot.
    bool add(uint32_t id, PyObject* token, size_t dense_limit);

    // The long strs that slots point into. Short tokens live on as copies in their slots.
    std::vector<PyRef> held_;
    std::vector<TokenSlot> dense_;
    std::unordered_map<uint32_t, TokenSlot> sparse_;
    TokenSlot unknown_;
};

}  // namespace qvc
