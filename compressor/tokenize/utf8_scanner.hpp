// The token rule applied to UTF-8 bytes as they come from a file: each character is checked as
// the interpreter's strict UTF-8 decoder checks it (no overlong forms, no surrogates, nothing
// above U+10FFFF) and classified as whitespace or not, and a cut is reported wherever the class
// changes. Runs of ASCII, nearly all of most texts, are classified 64 bytes at a time.
#pragma once

#include "compressor/tokenize/whitespace_scanner.hpp"

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qvc {

namespace detail {

// Bytes of the character that `lead` starts, 0 when no character starts with it.
constexpr size_t utf8_sequence_length(uint8_t lead) noexcept {
    return lead < 0x80 ? 1 : lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
}

inline bool is_continuation(uint8_t byte) noexcept { return (byte & 0xC0) == 0x80; }

// The multi-byte whitespace characters: U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028,
// U+2029, U+202F, U+205F, U+3000, from their bytes.
inline bool multibyte_whitespace(const uint8_t* c, size_t length) noexcept {
    if (length == 2) {
        return c[0] == 0xC2 && (c[1] == 0x85 || c[1] == 0xA0);
    }
    if (length != 3) {
        return false;
    }
    if (c[0] == 0xE2) {
        return (c[1] == 0x80 && (c[2] <= 0x8A || c[2] == 0xA8 || c[2] == 0xA9 || c[2] == 0xAF)) ||
               (c[1] == 0x81 && c[2] == 0x9F);
    }
    return (c[0] == 0xE1 && c[1] == 0x9A && c[2] == 0x80) ||
           (c[0] == 0xE3 && c[1] == 0x80 && c[2] == 0x80);
}

// Whether the `length` bytes at `c` (a lead byte and what follows) form a character the strict
// decoder accepts.
inline bool valid_sequence(const uint8_t* c, size_t length) noexcept {
    switch (length) {
        case 2:
            return is_continuation(c[1]);
        case 3: {
            const uint8_t low = c[0] == 0xE0 ? 0xA0 : 0x80;
            const uint8_t high = c[0] == 0xED ? 0x9F : 0xBF;
            return c[1] >= low && c[1] <= high && is_continuation(c[2]);
        }
        case 4: {
            const uint8_t low = c[0] == 0xF0 ? 0x90 : 0x80;
            const uint8_t high = c[0] == 0xF4 ? 0x8F : 0xBF;
            return c[1] >= low && c[1] <= high && is_continuation(c[2]) && is_continuation(c[3]);
        }
        default:
            return false;
    }
}

#if defined(__SSE2__)
// Bit i set when byte i of `v` is ASCII whitespace: U+0009..U+000D, U+001C..U+0020. (The
// Latin-1 whitespace 0x85 and 0xA0 are continuation bytes here.)
inline uint32_t ascii_whitespace_mask(__m128i v) noexcept {
    return static_cast<uint32_t>(
        _mm_movemask_epi8(_mm_or_si128(bytes_in_range(v, 0x09, 4), bytes_in_range(v, 0x1C, 4))));
}
#endif

}  // namespace detail

// Where the bytes [0, length) stop being whole characters: `length`, or the start of a
// character whose remaining bytes have not arrived yet. Bytes that can never start or continue
// a character are left to the scan, which refuses them.
inline size_t utf8_complete_end(const uint8_t* data, size_t length) noexcept {
    for (size_t back = 1; back <= 3 && back <= length; ++back) {
        const uint8_t byte = data[length - back];
        if (!detail::is_continuation(byte)) {
            const size_t needed = detail::utf8_sequence_length(byte);
            return needed > back ? length - back : length;
        }
    }
    return length;
}

// Scans the characters of data[from, to), which starts and ends at character boundaries (the
// caller makes sure `to` does, with utf8_complete_end, except at the end of the input, where a
// cut-off character is an error). `previous_whitespace` is the class of the character before
// `from` and becomes that of the last one. Calls on_cut(position) for every character whose
// class differs from the one before it. Returns false at the first byte the strict decoder
// refuses. The 64 bytes from every position below `to` may be read: the caller pads its buffer.
template <typename OnCut>
inline bool scan_utf8_cuts(const uint8_t* data, size_t from, size_t to, bool& previous_whitespace,
                           OnCut&& on_cut) {
    uint64_t previous = previous_whitespace ? 1 : 0;
    size_t p = from;
    while (p < to) {
#if defined(__SSE2__)
        if (to - p >= 64) {
            const __m128i a = detail::load16(data + p);
            const __m128i b = detail::load16(data + p + 16);
            const __m128i c = detail::load16(data + p + 32);
            const __m128i d = detail::load16(data + p + 48);
            const __m128i high = _mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d));
            if (_mm_movemask_epi8(high) == 0) {
                const uint64_t ws = static_cast<uint64_t>(detail::ascii_whitespace_mask(a)) |
                                    static_cast<uint64_t>(detail::ascii_whitespace_mask(b)) << 16 |
                                    static_cast<uint64_t>(detail::ascii_whitespace_mask(c)) << 32 |
                                    static_cast<uint64_t>(detail::ascii_whitespace_mask(d)) << 48;
                for (uint64_t cuts = ws ^ ((ws << 1) | previous); cuts != 0; cuts &= cuts - 1) {
                    on_cut(p + static_cast<size_t>(std::countr_zero(cuts)));
                }
                previous = ws >> 63;
                p += 64;
                continue;
            }
        }
#endif
        // Character by character up to the next 64 bytes, or to the end.
        const size_t stop = to - p > 64 ? p + 64 : to;
        while (p < stop) {
            const uint8_t lead = data[p];
            uint64_t ws;
            size_t length;
            if (lead < 0x80) {
                ws = detail::kLatin1Whitespace[lead] ? 1 : 0;
                length = 1;
            } else {
                length = detail::utf8_sequence_length(lead);
                if (length == 0 || length > to - p || !detail::valid_sequence(data + p, length)) {
                    previous_whitespace = previous != 0;
                    return false;
                }
                ws = detail::multibyte_whitespace(data + p, length) ? 1 : 0;
            }
            if (ws != previous) {
                on_cut(p);
                previous = ws;
            }
            p += length;
        }
    }
    previous_whitespace = previous != 0;
    return true;
}

// The class of the character at `data`, given that it is a valid one of `length` bytes.
inline bool utf8_is_whitespace(const uint8_t* data, size_t length) noexcept {
    return length == 1 ? detail::kLatin1Whitespace[data[0]]
                       : detail::multibyte_whitespace(data, length);
}

}  // namespace qvc
