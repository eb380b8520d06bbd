// The token rule: a token is a maximal run of whitespace or of non-whitespace code points, where
// whitespace is the class the interpreter's regular expressions call `\s` for str patterns (the
// 29 code points of Unicode category Zs or bidirectional class WS, B or S). Scanning works on
// the string's own storage (1, 2 or 4 bytes a code point) without creating any object.
//
// The scan classifies 64 code points at a time into a bit mask and cuts where neighbouring bits
// differ, so the work per token is a few bit operations instead of a data-dependent branch per
// character: natural text changes class every four or five characters, and a branch that
// mispredicts at every token end would cost more than everything else the tokenizer does.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qvc {

namespace detail {

constexpr std::array<bool, 256> make_latin1_whitespace_table() {
    std::array<bool, 256> table{};
    for (uint32_t cp = 0x09; cp <= 0x0D; ++cp) {
        table[cp] = true;  // tab, line feed, line tabulation, form feed, carriage return
    }
    for (uint32_t cp = 0x1C; cp <= 0x1F; ++cp) {
        table[cp] = true;  // information separators four to one
    }
    table[0x20] = true;  // space
    table[0x85] = true;  // next line
    table[0xA0] = true;  // no-break space
    return table;
}

inline constexpr std::array<bool, 256> kLatin1Whitespace = make_latin1_whitespace_table();

}  // namespace detail

constexpr bool is_whitespace(uint32_t cp) noexcept {
    if (cp < 0x100) {
        return detail::kLatin1Whitespace[cp];
    }
    if (cp < 0x1680) {
        return false;
    }
    return cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 ||
           cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

// Code points classified per mask.
inline constexpr size_t kScanBlock = 64;

// The number of bits set in `bits`. Where the target does not promise a population count
// instruction (x86-64 before its second level), std::popcount becomes a library call, which
// costs more than these few inline operations.
constexpr size_t count_bits(uint64_t bits) noexcept {
#if (defined(__x86_64__) || defined(__i386__)) && !defined(__POPCNT__)
    bits -= (bits >> 1) & 0x5555555555555555ULL;
    bits = (bits & 0x3333333333333333ULL) + ((bits >> 2) & 0x3333333333333333ULL);
    bits = (bits + (bits >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
    return static_cast<size_t>((bits * 0x0101010101010101ULL) >> 56);
#else
    return static_cast<size_t>(std::popcount(bits));
#endif
}

namespace detail {

// Bit i set when data[i] is whitespace, for i < count <= 64; the bits from `count` on are clear.
template <typename Char>
inline uint64_t whitespace_bits_one_by_one(const Char* data, size_t count) noexcept {
    uint64_t bits = 0;
    for (size_t i = 0; i < count; ++i) {
        bits |= static_cast<uint64_t>(is_whitespace(data[i])) << i;
    }
    return bits;
}

#if defined(__SSE2__)

// Lanes whose unsigned value lies in [low, low + span], as all-ones lanes. SSE2 has no unsigned
// comparison: subtracting `low` and then saturating-subtracting `span` leaves zero exactly there.
inline __m128i bytes_in_range(__m128i v, uint8_t low, uint8_t span) noexcept {
    __m128i offset = _mm_sub_epi8(v, _mm_set1_epi8(static_cast<char>(low)));
    return _mm_cmpeq_epi8(_mm_subs_epu8(offset, _mm_set1_epi8(static_cast<char>(span))),
                          _mm_setzero_si128());
}

inline __m128i units_in_range(__m128i v, uint16_t low, uint16_t span) noexcept {
    __m128i offset = _mm_sub_epi16(v, _mm_set1_epi16(static_cast<short>(low)));
    return _mm_cmpeq_epi16(_mm_subs_epu16(offset, _mm_set1_epi16(static_cast<short>(span))),
                           _mm_setzero_si128());
}

inline __m128i units_equal(__m128i v, uint16_t value) noexcept {
    return _mm_cmpeq_epi16(v, _mm_set1_epi16(static_cast<short>(value)));
}

inline __m128i load16(const void* p) noexcept {
    return _mm_loadu_si128(static_cast<const __m128i*>(p));
}

// Bit i set when byte i of `v`, as a Latin-1 code point, is whitespace: U+0009..U+000D,
// U+001C..U+0020, U+0085, U+00A0.
inline uint32_t latin1_whitespace_mask(__m128i v) noexcept {
    __m128i ws = _mm_or_si128(bytes_in_range(v, 0x09, 4), bytes_in_range(v, 0x1C, 4));
    ws = _mm_or_si128(ws, _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(0x85))));
    ws = _mm_or_si128(ws, _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(0xA0))));
    return static_cast<uint32_t>(_mm_movemask_epi8(ws));
}

inline uint64_t whitespace_bits64(const uint8_t* data) noexcept {
    uint64_t bits = 0;
    for (int i = 0; i < 4; ++i) {
        bits |= static_cast<uint64_t>(latin1_whitespace_mask(load16(data + 16 * i))) << (16 * i);
    }
    return bits;
}

// U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000, as 16-bit lanes.
inline __m128i upper_whitespace_units(__m128i v) noexcept {
    __m128i ws = _mm_or_si128(units_equal(v, 0x1680), units_in_range(v, 0x2000, 0x0A));
    ws = _mm_or_si128(ws, units_in_range(v, 0x2028, 1));
    ws = _mm_or_si128(ws, _mm_or_si128(units_equal(v, 0x202F), units_equal(v, 0x205F)));
    return _mm_or_si128(ws, units_equal(v, 0x3000));
}

// 64 code points as eight vectors of 16-bit lanes, where every code point above U+7FFF may
// stand as any value from U+7FFF up (no whitespace lies there).
inline uint64_t whitespace_bits64(const __m128i (&units)[8]) noexcept {
    uint64_t bits = 0;
    __m128i upper = _mm_setzero_si128();
    for (int i = 0; i < 4; ++i) {
        // Unsigned saturation turns every code point above U+00FF into 0x00 or 0xFF, neither of
        // them whitespace, so the Latin-1 rule applies to the packed bytes as they are.
        const __m128i packed = _mm_packus_epi16(units[2 * i], units[2 * i + 1]);
        bits |= static_cast<uint64_t>(latin1_whitespace_mask(packed)) << (16 * i);
        upper = _mm_or_si128(upper, units_in_range(units[2 * i], 0x1680, 0x3000 - 0x1680));
        upper = _mm_or_si128(upper, units_in_range(units[2 * i + 1], 0x1680, 0x3000 - 0x1680));
    }
    // Text rarely holds anything between U+1680 and U+3000 (CJK ideographs lie above), so the
    // whitespace up there is looked for only in the blocks that do.
    if (_mm_movemask_epi8(upper) != 0) [[unlikely]] {
        for (int i = 0; i < 4; ++i) {
            const __m128i ws = _mm_packs_epi16(upper_whitespace_units(units[2 * i]),
                                               upper_whitespace_units(units[2 * i + 1]));
            bits |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(ws)))
                    << (16 * i);
        }
    }
    return bits;
}

inline uint64_t whitespace_bits64(const uint16_t* data) noexcept {
    __m128i units[8];
    for (int i = 0; i < 8; ++i) {
        units[i] = load16(data + 8 * i);
    }
    return whitespace_bits64(units);
}

inline uint64_t whitespace_bits64(const uint32_t* data) noexcept {
    // Signed saturation to 16 bits keeps every code point up to U+7FFF and turns the others
    // into U+7FFF.
    __m128i units[8];
    for (int i = 0; i < 8; ++i) {
        units[i] = _mm_packs_epi32(load16(data + 8 * i), load16(data + 8 * i + 4));
    }
    return whitespace_bits64(units);
}

#endif  // __SSE2__

}  // namespace detail

// Bit i set when data[i] is whitespace, for i < count <= kScanBlock; the bits from `count` on
// are clear.
template <typename Char>
inline uint64_t whitespace_bits(const Char* data, size_t count) noexcept {
    static_assert(sizeof(Char) == 1 || sizeof(Char) == 2 || sizeof(Char) == 4);
#if defined(__SSE2__)
    if (count == kScanBlock) {
        if constexpr (sizeof(Char) == 1) {
            return detail::whitespace_bits64(reinterpret_cast<const uint8_t*>(data));
        } else if constexpr (sizeof(Char) == 2) {
            return detail::whitespace_bits64(reinterpret_cast<const uint16_t*>(data));
        } else {
            return detail::whitespace_bits64(reinterpret_cast<const uint32_t*>(data));
        }
    }
#endif
    return detail::whitespace_bits_one_by_one(data, count);
}

namespace detail {

// Bit i set when data[block + i] starts a token other than the first: its class differs from
// that of the code point before it. `previous_whitespace` is the class of data[block - 1] (for
// the first block, that of data[0], so that the text's start is no cut); it is updated to the
// class of the block's last code point.
template <typename Char>
inline uint64_t cuts_in_block(const Char* data, size_t block, size_t length,
                              uint64_t& previous_whitespace) noexcept {
    size_t count = length - block < kScanBlock ? length - block : kScanBlock;
    uint64_t whitespace = whitespace_bits(data + block, count);
    uint64_t cuts = whitespace ^ ((whitespace << 1) | previous_whitespace);
    if (count < kScanBlock) {
        cuts &= (uint64_t{1} << count) - 1;
    }
    previous_whitespace = (whitespace >> (count - 1)) & 1;
    return cuts;
}

}  // namespace detail

// Calls on_block(block, cuts) for the blocks of kScanBlock code points that data[0, length)
// falls into (the last one may be shorter), in order. Bit i of `cuts` is set when a token other
// than the first starts at data[block + i]; the tokens are the runs between the text's start,
// the cuts and the text's end. `on_block` returns false to stop early; scan_cut_blocks then
// returns false too.
template <typename Char, typename OnBlock>
inline bool scan_cut_blocks(const Char* data, size_t length, OnBlock&& on_block) {
    if (length == 0) {
        return true;
    }
    uint64_t previous_whitespace = is_whitespace(data[0]);
    for (size_t block = 0; block < length; block += kScanBlock) {
        if (!on_block(block, detail::cuts_in_block(data, block, length, previous_whitespace))) {
            return false;
        }
    }
    return true;
}

namespace detail {

// Calls on_token for the tokens that end at the cuts of the block at `block`, the first of them
// starting at `token_start`, which moves on to the last cut.
template <typename OnToken>
inline bool tokens_ending_in_block(size_t block, uint64_t cuts, size_t& token_start,
                                   OnToken& on_token) {
    for (; cuts != 0; cuts &= cuts - 1) {
        const size_t cut = block + static_cast<size_t>(std::countr_zero(cuts));
        if (!on_token(token_start, cut)) {
            return false;
        }
        token_start = cut;
    }
    return true;
}

}  // namespace detail

// Calls on_token(start, end) for every token of data[0, length), in order. `on_token` returns
// false to stop the scan early; scan_tokens then returns false too.
template <typename Char, typename OnToken>
inline bool scan_tokens(const Char* data, size_t length, OnToken&& on_token) {
    size_t token_start = 0;
    const bool complete = scan_cut_blocks(data, length, [&](size_t block, uint64_t cuts) {
        return detail::tokens_ending_in_block(block, cuts, token_start, on_token);
    });
    return complete && (length == 0 || on_token(token_start, length));
}

// As scan_tokens, for a text of `length` code points whose cut masks scan_cut_blocks gave
// before, one for each block in order, at `cuts`, and only for the tokens that end in blocks
// [first_block, end_block), the first of them starting at `token_start`; the text's last
// token, which ends at its end rather than at a cut, comes with the last block.
template <typename OnToken>
inline bool scan_tokens_of_cut_blocks(const uint64_t* cuts, size_t length, size_t first_block,
                                      size_t end_block, size_t token_start,
                                      OnToken&& on_token) {
    for (size_t block = first_block; block < end_block; ++block) {
        if (!detail::tokens_ending_in_block(block * kScanBlock, cuts[block], token_start,
                                            on_token)) {
            return false;
        }
    }
    const size_t blocks = (length + kScanBlock - 1) / kScanBlock;
    return end_block < blocks || length == 0 || on_token(token_start, length);
}

// As scan_tokens, for a text of `length` code points whose cut masks scan_cut_blocks gave
// before, one for each block in order, at `cuts`.
template <typename OnToken>
inline bool scan_tokens_of_cuts(const uint64_t* cuts, size_t length, OnToken&& on_token) {
    return scan_tokens_of_cut_blocks(cuts, length, 0, (length + kScanBlock - 1) / kScanBlock, 0,
                                     on_token);
}

}  // namespace qvc
