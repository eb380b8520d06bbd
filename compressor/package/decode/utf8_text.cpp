#include "compressor/package/decode/utf8_text.hpp"

#include "compressor/package/package_format.hpp"
#include "compressor/pyapi/signal_poll.hpp"

#include <algorithm>
#include <cstring>
#include <new>

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
    if (slot.width == kWidthAscii) {
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

bool make_room(Utf8Buffer& out, size_t needed) noexcept {
    if (needed <= out.capacity) {
        return true;
    }
    const size_t capacity = std::max(needed, 2 * out.capacity);
    std::unique_ptr<char[]> larger(new (std::nothrow) char[capacity]);
    if (!larger) {
        PyErr_NoMemory();
        return false;
    }
    if (out.size != 0) {
        std::memcpy(larger.get(), out.data.get(), out.size);
    }
    out.data = std::move(larger);
    out.capacity = capacity;
    return true;
}

}  // namespace

Utf8Text build_utf8_text(const TokenTable& table, const unsigned char* records, Py_ssize_t count,
                         size_t limit, Utf8Buffer& out) {
    const TokenSlot* dense = table.dense_slots();
    const size_t dense_size = table.dense_size();
    auto slot_of = [&](uint32_t id) -> const TokenSlot& {
        return id < dense_size ? dense[id] : table.slot_beyond_dense(id);
    };
    out.size = 0;
    for (Py_ssize_t batch = 0; batch < count; batch += kBatch) {
        if (out.size > limit) {
            return Utf8Text::kTooLong;
        }
        if (batch != 0 && PyErr_CheckSignals() != 0) {
            return Utf8Text::kFailed;
        }
        const Py_ssize_t end = std::min(count, batch + kBatch);
        // Room for a batch of ASCII tokens copied whole; other tokens make their own.
        if (!make_room(out, out.size + static_cast<size_t>(end - batch) * kAsciiCopy)) {
            return Utf8Text::kFailed;
        }
        char* buffer = out.data.get();
        size_t size = out.size;
        for (Py_ssize_t i = batch; i < end; ++i) {
            if (i + kPrefetchDistance < count) {
                const uint32_t ahead = load_record(records + 4 * (i + kPrefetchDistance));
                __builtin_prefetch(reinterpret_cast<const void*>(
                    reinterpret_cast<uintptr_t>(dense) + uintptr_t{ahead} * sizeof(TokenSlot)));
            }
            const TokenSlot& slot = slot_of(load_record(records + 4 * i));
            if (slot.simple_width == kWidthAscii) {
                std::memcpy(buffer + size, slot.storage, kAsciiCopy);
                size += slot.length;
                continue;
            }
            if (size + slot.length > limit) {
                return Utf8Text::kTooLong;  // before making room for a token of any length
            }
            // Room for this token and for ASCII copies of the rest of the batch.
            const size_t needed =
                size + most_bytes(slot) + static_cast<size_t>(end - i) * kAsciiCopy;
            if (needed > out.capacity) {
                out.size = size;
                if (!make_room(out, needed)) {
                    return Utf8Text::kFailed;
                }
                buffer = out.data.get();
            }
            size = static_cast<size_t>(encode_slot(slot, buffer + size) - buffer);
        }
        out.size = size;
    }
    return out.size > limit ? Utf8Text::kTooLong : Utf8Text::kBuilt;
}

}  // namespace qvc
