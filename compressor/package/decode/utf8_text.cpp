#include "compressor/package/decode/utf8_text.hpp"

#include "compressor/package/package_format.hpp"
#include "compressor/pyapi/signal_poll.hpp"

#include <algorithm>
#include <cstring>

namespace qvc {
namespace {

// Records looked ahead: in a large vocabulary most of a lookup is the wait for the slot.
constexpr Py_ssize_t kPrefetchDistance = 32;
// Records between two checks of the room left and of signals.
constexpr Py_ssize_t kBatch = 1024;
// An ASCII token is copied as its whole inline storage, whatever its length.
constexpr size_t kAsciiCopy = TokenSlot::kInlineBytes;

template <typename Unit>
char* encode_units(const Unit* in, size_t length, char* out) noexcept {
    for (size_t i = 0; i < length; ++i) {
        const uint32_t c = in[i];
        if (c < 0x80) {
            *out++ = static_cast<char>(c);
        } else if (c < 0x800) {
            *out++ = static_cast<char>(0xC0 | (c >> 6));
            *out++ = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            *out++ = static_cast<char>(0xE0 | (c >> 12));
            *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *out++ = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            *out++ = static_cast<char>(0xF0 | (c >> 18));
            *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *out++ = static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// The most bytes a token's UTF-8 form and its copy can take.
size_t most_bytes(const TokenSlot& slot) noexcept {
    const size_t per_char = slot.kind == PyUnicode_1BYTE_KIND   ? 2
                            : slot.kind == PyUnicode_2BYTE_KIND ? 3
                                                                : 4;
    return std::max(kAsciiCopy, size_t{slot.length} * per_char);
}

char* encode_slot(const TokenSlot& slot, char* out) noexcept {
    const void* data = slot.data();
    if (slot.ascii) {
        std::memcpy(out, data, slot.length);
        return out + slot.length;
    }
    switch (slot.kind) {
        case PyUnicode_1BYTE_KIND:
            return encode_units(static_cast<const Py_UCS1*>(data), slot.length, out);
        case PyUnicode_2BYTE_KIND:
            return encode_units(static_cast<const Py_UCS2*>(data), slot.length, out);
        default:
            return encode_units(static_cast<const Py_UCS4*>(data), slot.length, out);
    }
}

// Room for `needed` bytes. Doubling stops at `most`, the room of a text just within the limit
// when every character is ASCII; past it (characters of several bytes each) the room grows by
// half of that at a time, so that it never ends up twice the size of the text.
bool make_room(Utf8Buffer& out, size_t needed, size_t most) noexcept {
    if (needed <= out.capacity) {
        return true;
    }
    const size_t step = out.capacity < most ? most : out.capacity + most / 2;
    const size_t capacity = std::max(needed, std::min(2 * out.capacity, step));
    char* larger = static_cast<char*>(std::realloc(out.data.get(), capacity));
    if (larger == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    static_cast<void>(out.data.release());
    out.data.reset(larger);
    out.capacity = capacity;
    return true;
}

}  // namespace

bool build_utf8_text(const TokenTable& table, const unsigned char* records, Py_ssize_t count,
                     size_t limit, Utf8Buffer& out, Py_ssize_t& taken) {
    const TokenSlot* dense = table.dense_slots();
    const size_t dense_size = table.dense_size();
    auto slot_of = [&](uint32_t id) -> const TokenSlot& {
        return id < dense_size ? dense[id] : table.slot_beyond_dense(id);
    };
    // The str's storage is its characters at the widest kind; the characters are the bytes
    // less what UTF-8 spends beyond one byte on each character that is not ASCII.
    size_t extra_bytes = 0;
    size_t widest_kind = PyUnicode_1BYTE_KIND;
    const size_t most = limit + (kBatch + 1) * kAsciiCopy;
    out.size = 0;
    taken = 0;
    while (taken < count && (out.size - extra_bytes) * widest_kind <= limit) {
        if (taken != 0 && PyErr_CheckSignals() != 0) {
            return false;
        }
        const Py_ssize_t end = std::min(count, taken + kBatch);
        // Room for a batch of ASCII tokens copied whole; other tokens make their own.
        if (!make_room(out, out.size + static_cast<size_t>(end - taken) * kAsciiCopy, most)) {
            return false;
        }
        char* buffer = out.data.get();
        size_t size = out.size;
        for (Py_ssize_t i = taken; i < end; ++i) {
            if (i + kPrefetchDistance < count) {
                const uint32_t ahead = load_record(records + 4 * (i + kPrefetchDistance));
                __builtin_prefetch(reinterpret_cast<const void*>(
                    reinterpret_cast<uintptr_t>(dense) + uintptr_t{ahead} * sizeof(TokenSlot)));
            }
            const TokenSlot& slot = slot_of(load_record(records + 4 * i));
            if (slot.inline_ascii) {
                std::memcpy(buffer + size, slot.storage, kAsciiCopy);
                size += slot.length;
                continue;
            }
            // Asked before making room for a token of any length.
            const size_t kind = std::max<size_t>(widest_kind, slot.kind);
            if ((size - extra_bytes + slot.length) * kind > limit) {
                out.size = size;
                taken = i;
                return true;
            }
            // Room for this token and for ASCII copies of the rest of the batch.
            const size_t needed =
                size + most_bytes(slot) + static_cast<size_t>(end - i) * kAsciiCopy;
            if (needed > out.capacity) {
                out.size = size;
                if (!make_room(out, needed, most)) {
                    return false;
                }
                buffer = out.data.get();
            }
            const size_t encoded = static_cast<size_t>(encode_slot(slot, buffer + size) - buffer);
            extra_bytes += encoded - size - slot.length;
            widest_kind = kind;
            size = encoded;
        }
        out.size = size;
        taken = end;
    }
    return true;
}

}  // namespace qvc
