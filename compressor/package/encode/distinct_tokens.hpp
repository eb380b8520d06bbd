// The distinct tokens of one encode_files call, found straight in the files' text storage, so that
// each distinct token costs one interpreter string and one vocabulary lookup however often it
// occurs, and a file's text can be let go of as soon as its tokens are numbered.
#pragma once

#include "compressor/package/encode/mapped_allocator.hpp"
#include "compressor/pyapi/py_ref.hpp"
#include "compressor/pyapi/signal_poll.hpp"
#include "compressor/tokenize/span_hash.hpp"
#include "compressor/tokenize/whitespace_scanner.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace qvc {

// Numbers every distinct token 0, 1, 2, ... in order of first occurrence and keeps a copy of its
// code points. Two tokens are the same when their code points are, whatever storage (1, 2 or 4
// bytes a code point) the texts they come from use: a token is hashed, compared and kept in its
// canonical form, the narrowest storage that holds it, which is also the form the interpreter
// gives it as a str of its own.
class DistinctTokens {
public:
    DistinctTokens();
    DistinctTokens(const DistinctTokens&) = delete;
    DistinctTokens& operator=(const DistinctTokens&) = delete;

    // Numbers the tokens of the exact str `text`: out[i] gets the number of its i-th token. The
    // text is not needed afterwards. False when it does not hold exactly `count` tokens, or with
    // an exception set when a signal handler raised meanwhile.
    bool number_text(PyObject* text, uint32_t* out, size_t count);

    // Lets go of what numbering needs; the tokens' code points stay.
    void stop_numbering();
    // Lets go of everything.
    void release();

    size_t size() const noexcept { return kinds_.size(); }

    // A new str of the code points of token `number`, made by the interpreter's own constructor:
    // the same object a substring of a text gives (the shared one-character strings included).
    PyObject* new_str(uint32_t number) const;

private:
    // Canonical forms of up to this many bytes live in two words, compared and hashed as such.
    static constexpr size_t kShortBytes = 16;
    static constexpr uint32_t kShortToken = 0x80000000u;

    // A token between the scan and its lookup. Lookups in the big table are issued a few tokens
    // ahead of the one they serve, so that its cache misses overlap instead of following one
    // another.
    struct Pending {
        uint64_t head;  // canonical bytes 0-7 of a short token (zero-padded), or of a long one
        uint64_t tail;  // canonical bytes 8-15 of a short token (zero-padded), else 0
        uint64_t hash;
        const unsigned char* bytes;  // canonical form of a long token: in the text, or scratch
        size_t byte_length;
        size_t position;  // in the text's tokens
        uint32_t check;   // a short token's length and kind, or 31 bits of the hash
        uint8_t kind;     // canonical; 0 for a one-code-point Latin-1 token
    };

    // One table slot. A short token is decided by the slot alone; a long token's match is
    // confirmed against its stored copy.
    struct Slot {
        uint64_t head;
        uint64_t tail;
        uint32_t check;
        uint32_t number_plus_one;  // 0: empty
    };

    static constexpr size_t kLookahead = 16;
    // Recently met tokens, in a small table that stays in the processor's cache: most tokens of
    // a text are among a few thousand frequent ones and are found here without a lookup in the
    // big table.
    static constexpr size_t kRecentSlots = 16384;

    template <typename Char>
    bool number_tokens_of(const Char* data, size_t length, uint32_t* out, size_t count);
    template <typename Char>
    void prepare(Pending& pending, std::vector<unsigned char>& scratch, const Char* data,
                 size_t text_length, size_t start, size_t end) const;
    void finish_short(Pending& pending) const noexcept {
        pending.check = kShortToken | static_cast<uint32_t>(pending.byte_length << 3) |
                        static_cast<uint32_t>(pending.kind);
        pending.hash = short_hash(pending.head, pending.tail, pending.check);
        pending.bytes = nullptr;
    }
    bool prepare_short_ucs2(Pending& pending, const uint16_t* token, size_t length) const noexcept;
    uint32_t settle(const Pending& pending);
    uint32_t add(const Pending& pending);
    void grow();

    bool same_token(const Slot& slot, const Pending& pending) const noexcept {
        if (slot.check != pending.check || slot.head != pending.head || slot.tail != pending.tail ||
            slot.number_plus_one == 0) {
            return false;
        }
        return (pending.check & kShortToken) != 0 ||
               same_long_token(slot.number_plus_one - 1, pending);
    }
    bool same_long_token(uint32_t number, const Pending& pending) const noexcept;
    Slot& recent_slot(const Pending& pending) noexcept {
        return recent_[static_cast<size_t>(pending.hash >> 40) & (kRecentSlots - 1)];
    }
    uint64_t short_hash(uint64_t head, uint64_t tail, uint32_t check) const noexcept {
        // Two independent products and a fold: a short chain, as every lookup waits on it.
        const uint64_t h = (head ^ seed_) * 0x9E3779B97F4A7C15ULL ^
                           (tail + check + (seed_ >> 17)) * 0xC2B2AE3D27D4EB4FULL;
        return h ^ (h >> 29) ^ (h >> 47);
    }

    template <typename T>
    using Column = std::vector<T, MappedAllocator<T>>;
    using SlotTable = std::vector<Slot, MappedAllocator<Slot, true>>;

    uint64_t seed_;
    Column<unsigned char> code_points_;  // every token's canonical bytes, one after another
    Column<uint64_t> offsets_;           // token n: code_points_[offsets_[n], offsets_[n+1])
    Column<uint8_t> kinds_;
    Column<uint64_t> hashes_;            // to place the slots again when the table grows
    SlotTable slots_;
    size_t mask_ = 0;
    std::vector<Slot> recent_;
    std::array<std::vector<unsigned char>, kLookahead> scratch_;
    std::array<uint32_t, 256> single_char_{};  // numbers plus one of the one-character tokens
};

#if defined(__SSE2__) && defined(__x86_64__)
// A token of at most 16 code points of a 2-byte text whose 16 code points from the token's start
// lie inside the text: narrowed and cut to the token in registers. False for a token that keeps
// 2 bytes a code point and is too long to be short.
inline bool DistinctTokens::prepare_short_ucs2(Pending& pending, const uint16_t* token,
                                               size_t length) const noexcept {
    const __m128i lanes = _mm_set1_epi16(static_cast<short>(length));
    const __m128i first_half = _mm_and_si128(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(token)),
        _mm_cmpgt_epi16(lanes, _mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7)));
    const __m128i second_half = _mm_and_si128(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(token + 8)),
        _mm_cmpgt_epi16(lanes, _mm_setr_epi16(8, 9, 10, 11, 12, 13, 14, 15)));
    const __m128i high_bytes =
        _mm_or_si128(_mm_srli_epi16(first_half, 8), _mm_srli_epi16(second_half, 8));
    const bool latin1 =
        _mm_movemask_epi8(_mm_cmpeq_epi8(high_bytes, _mm_setzero_si128())) == 0xFFFF;
    __m128i bytes;
    if (latin1) {
        bytes = _mm_packus_epi16(first_half, second_half);
        pending.kind = 1;
        pending.byte_length = length;
    } else if (length <= kShortBytes / 2) {
        bytes = first_half;
        pending.kind = 2;
        pending.byte_length = 2 * length;
    } else {
        return false;
    }
    pending.head = static_cast<uint64_t>(_mm_cvtsi128_si64(bytes));
    pending.tail = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(bytes, bytes)));
    finish_short(pending);
    return true;
}
#endif

template <typename Char>
void DistinctTokens::prepare(Pending& pending, std::vector<unsigned char>& scratch,
                             const Char* data, size_t text_length, size_t start,
                             size_t end) const {
    const Char* token = data + start;
    const size_t length = end - start;
#if defined(__SSE2__) && defined(__x86_64__)
    if constexpr (sizeof(Char) == 2) {
        if (length <= kShortBytes && text_length - start >= kShortBytes &&
            prepare_short_ucs2(pending, reinterpret_cast<const uint16_t*>(token), length)) {
            return;
        }
    }
#endif
    int kind = 1;
    if constexpr (sizeof(Char) > 1) {
        // OR-ing suffices to tell the storage classes apart: their limits are powers of two.
        uint32_t bits = 0;
        for (size_t i = 0; i < length; ++i) {
            bits |= static_cast<uint32_t>(token[i]);
        }
        kind = bits < 0x100 ? 1 : bits < 0x10000 ? 2 : 4;
    }
    const size_t byte_length = length * static_cast<size_t>(kind);
    pending.kind = static_cast<uint8_t>(kind);
    pending.byte_length = byte_length;

    if (byte_length <= kShortBytes) {
        if (sizeof(Char) == 1 && text_length - start >= kShortBytes) {
            // Two word loads, still inside the text, cut to the token.
            uint64_t head;
            uint64_t tail;
            std::memcpy(&head, token, 8);
            std::memcpy(&tail, reinterpret_cast<const unsigned char*>(token) + 8, 8);
            if (byte_length < 8) {
                head &= (uint64_t{1} << (8 * byte_length)) - 1;
            }
            if (byte_length <= 8) {
                tail = 0;
            } else if (byte_length < 16) {
                tail &= (uint64_t{1} << (8 * (byte_length - 8))) - 1;
            }
            pending.head = head;
            pending.tail = tail;
        } else {
            unsigned char bytes[kShortBytes] = {};
            // The loop bounds repeat what byte_length <= kShortBytes already implies.
            if (kind == 1) {
                for (size_t i = 0; i < length && i < kShortBytes; ++i) {
                    bytes[i] = static_cast<unsigned char>(token[i]);
                }
            } else if (kind == 2) {
                for (size_t i = 0; i < length && i < kShortBytes / 2; ++i) {
                    const uint16_t unit = static_cast<uint16_t>(token[i]);
                    std::memcpy(bytes + 2 * i, &unit, 2);
                }
            } else {
                for (size_t i = 0; i < length && i < kShortBytes / 4; ++i) {
                    const uint32_t point = static_cast<uint32_t>(token[i]);
                    std::memcpy(bytes + 4 * i, &point, 4);
                }
            }
            std::memcpy(&pending.head, bytes, 8);
            std::memcpy(&pending.tail, bytes + 8, 8);
        }
        finish_short(pending);
        return;
    }

    if (static_cast<size_t>(kind) == sizeof(Char)) {
        pending.bytes = reinterpret_cast<const unsigned char*>(token);
    } else {
        scratch.resize(byte_length);
        for (size_t i = 0; i < length; ++i) {
            if (kind == 1) {
                scratch[i] = static_cast<unsigned char>(token[i]);
            } else {
                const uint16_t unit = static_cast<uint16_t>(token[i]);
                std::memcpy(scratch.data() + 2 * i, &unit, 2);
            }
        }
        pending.bytes = scratch.data();
    }
    std::memcpy(&pending.head, pending.bytes, 8);
    pending.tail = 0;
    // The kind goes into the seed: the same bytes read as 1- or 2-byte units are other tokens.
    pending.hash = hash_bytes(pending.bytes, byte_length, seed_ ^ static_cast<uint64_t>(kind));
    pending.check = static_cast<uint32_t>(pending.hash >> 33);
}

template <typename Char>
bool DistinctTokens::number_tokens_of(const Char* data, size_t length, uint32_t* out,
                                      size_t count) {
    // Tokens found at once (recently met, or one known character) get their number right away;
    // the others wait in a ring until their lookahead has passed, and are settled in text order,
    // since a new token's number depends on the tokens added before it.
    std::array<Pending, kLookahead> ring;
    size_t position = 0;
    size_t waiting = 0;
    size_t oldest = 0;
    SignalPoll poll(kTokensBetweenChecks);
    auto settle_oldest = [&] {
        Pending& pending = ring[oldest % kLookahead];
        out[pending.position] = settle(pending);
        ++oldest;
        --waiting;
    };
    const bool complete = scan_tokens(data, length, [&](size_t start, size_t end) {
        if (position == count || !poll.tick()) {
            return false;
        }
        const size_t at = (oldest + waiting) % kLookahead;
        Pending& pending = ring[at];
        if (end - start == 1 && static_cast<uint32_t>(data[start]) < 0x100) {
            // Spaces, newlines, punctuation: the most frequent tokens, kept in a plain array.
            const uint32_t code_point = static_cast<uint32_t>(data[start]);
            if (single_char_[code_point] != 0) {
                out[position++] = single_char_[code_point] - 1;
                return true;
            }
            pending.kind = 0;
            pending.head = code_point;
        } else {
            prepare(pending, scratch_[at], data, length, start, end);
            const Slot& recent = recent_slot(pending);
            if (same_token(recent, pending)) {
                // Numbered before: the number holds, whatever the tokens still waiting add.
                out[position++] = recent.number_plus_one - 1;
                return true;
            }
            __builtin_prefetch(&slots_[static_cast<size_t>(pending.hash) & mask_]);
        }
        pending.position = position++;
        if (++waiting == kLookahead) {
            settle_oldest();
        }
        return true;
    });
    while (waiting != 0) {
        settle_oldest();
    }
    return complete && position == count;
}

}  // namespace qvc
