// The tables that find the distinct tokens of one text: each token is keyed by its storage bytes
// where they are few (nearly every token of natural text), by a hash of them otherwise, and
// gets one value from a maker the first time it is met, which the tables hand out for every
// later occurrence and count.
#pragma once

#include "compressor/tokenize/span_hash.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qvc {

// A token's storage bytes, zero-padded into `Words` words, with the number of bytes in the last
// byte, which the padding always leaves free (so that "a" and "a\0" differ): at most
// 8 * Words - 1 bytes. The key is both the token's identity and the input of its hash, so the
// short tokens that make up nearly all of natural text are hashed and compared without a loop,
// a call or a branch on their length.
template <size_t Words>
struct TokenKey {
    std::array<uint64_t, Words> words;

    // Word by word, without the branches or the call a byte comparison may bring.
    bool operator==(const TokenKey& other) const noexcept {
        uint64_t difference = 0;
        for (size_t word = 0; word < Words; ++word) {
            difference |= words[word] ^ other.words[word];
        }
        return difference == 0;
    }
};

// Bytes read to form a key, whatever the token's size; and the most a key can hold.
template <size_t Words>
inline constexpr size_t kKeyLoad = 8 * Words;
template <size_t Words>
inline constexpr size_t kMaxKeyBytes = 8 * Words - 1;

constexpr uint64_t leading_bytes_mask(size_t bytes) {
    if (bytes == 0) {
        return 0;
    }
    if (bytes >= 8) {
        return ~uint64_t{0};
    }
    if constexpr (std::endian::native == std::endian::little) {
        return ~uint64_t{0} >> (64 - 8 * bytes);
    } else {
        return ~uint64_t{0} << (64 - 8 * bytes);
    }
}

// `value` placed in the last byte of a word as stored in memory.
constexpr uint64_t in_last_byte(uint64_t value) {
    if constexpr (std::endian::native == std::endian::little) {
        return value << 56;
    } else {
        return value;
    }
}

// For a key of `size` bytes: the masks that keep those bytes of the loaded words, and the size
// in the last word's last byte.
template <size_t Words>
struct KeyShape {
    std::array<uint64_t, Words> masks;
    uint64_t size_tag;
};

template <size_t Words>
constexpr std::array<KeyShape<Words>, kMaxKeyBytes<Words> + 1> make_key_shapes() {
    std::array<KeyShape<Words>, kMaxKeyBytes<Words> + 1> shapes{};
    for (size_t size = 1; size <= kMaxKeyBytes<Words>; ++size) {
        for (size_t word = 0; word < Words; ++word) {
            const size_t bytes_here = size > 8 * word ? size - 8 * word : 0;
            shapes[size].masks[word] = leading_bytes_mask(bytes_here);
        }
        shapes[size].size_tag = in_last_byte(size);
    }
    return shapes;
}

template <size_t Words>
inline constexpr std::array<KeyShape<Words>, kMaxKeyBytes<Words> + 1> kKeyShapes =
    make_key_shapes<Words>();

// The key of the `size` bytes at `bytes`, from which kKeyLoad<Words> bytes may be read.
template <size_t Words>
inline TokenKey<Words> token_key(const unsigned char* bytes, size_t size) noexcept {
    TokenKey<Words> key;
    std::memcpy(key.words.data(), bytes, kKeyLoad<Words>);
    const KeyShape<Words>& shape = kKeyShapes<Words>[size];
    for (size_t word = 0; word < Words; ++word) {
        key.words[word] &= shape.masks[word];
    }
    key.words[Words - 1] |= shape.size_tag;
    return key;
}

// The key of the `size` bytes at `bytes`, which may end the readable memory.
template <size_t Words>
inline TokenKey<Words> token_key_copied(const unsigned char* bytes, size_t size) noexcept {
    unsigned char padded[kKeyLoad<Words>] = {};
    std::memcpy(padded, bytes, size);
    return token_key<Words>(padded, size);
}

// Sixteen code points of a 2- or 4-byte text as Latin-1 bytes. Tokens without a character above
// U+00FF, the words and whitespace of a text that is wide for the sake of a few characters, are
// keyed by these bytes, as in a 1-byte text: up to 15 characters then fit a short key, instead
// of 7 or 3.
struct NarrowedUnits {
    unsigned char bytes[16];  // the low byte of each code point
    uint32_t wide;            // bit i set when code point i is above U+00FF
};

// The narrowed key's size byte carries this flag, so that a narrowed key never equals the key
// of a token's own storage bytes.
inline constexpr uint64_t kNarrowedKeyFlag = in_last_byte(0x80);

template <typename Char>
inline NarrowedUnits narrow_units(const Char* units) noexcept {
    static_assert(sizeof(Char) == 2 || sizeof(Char) == 4);
    NarrowedUnits narrowed;
#if defined(__SSE2__)
    const __m128i* in = reinterpret_cast<const __m128i*>(units);
    __m128i low_half, high_half;  // eight code points each, as 16-bit lanes
    if constexpr (sizeof(Char) == 2) {
        low_half = _mm_loadu_si128(in);
        high_half = _mm_loadu_si128(in + 1);
    } else {
        // Signed saturation keeps every code point above U+00FF above it.
        low_half = _mm_packs_epi32(_mm_loadu_si128(in), _mm_loadu_si128(in + 1));
        high_half = _mm_packs_epi32(_mm_loadu_si128(in + 2), _mm_loadu_si128(in + 3));
    }
    // The bytes of wide code points are garbage after saturation, but then unused.
    _mm_storeu_si128(reinterpret_cast<__m128i*>(narrowed.bytes),
                     _mm_packus_epi16(low_half, high_half));
    const __m128i limit = _mm_set1_epi16(0xFF);
    const __m128i zero = _mm_setzero_si128();
    const __m128i narrow_lanes =
        _mm_packs_epi16(_mm_cmpeq_epi16(_mm_subs_epu16(low_half, limit), zero),
                        _mm_cmpeq_epi16(_mm_subs_epu16(high_half, limit), zero));
    narrowed.wide = ~static_cast<uint32_t>(_mm_movemask_epi8(narrow_lanes)) & 0xFFFF;
#else
    narrowed.wide = 0;
    for (size_t i = 0; i < 16; ++i) {
        narrowed.bytes[i] = static_cast<unsigned char>(units[i]);
        narrowed.wide |= static_cast<uint32_t>(units[i] > 0xFF) << i;
    }
#endif
    return narrowed;
}

// The narrowed key of the first `length` (at most kMaxKeyBytes<2>) code points, when none of
// them is wide.
inline bool narrowed_key(const NarrowedUnits& narrowed, size_t length, TokenKey<2>& key) noexcept {
    if ((narrowed.wide & ((uint32_t{1} << length) - 1)) != 0) {
        return false;
    }
    key = token_key<2>(narrowed.bytes, length);
    key.words[1] |= kNarrowedKeyFlag;
    return true;
}

// An open-addressing index of the entries of a table, which live in a dense array beside it, in
// order of first occurrence. A position holds an entry's number (from 1; 0 marks a free
// position) and 7 bits of its hash as a tag, so that a probe passing other tokens' positions
// seldom looks at their entries: the index can be three quarters full, and small, which keeps
// the probes of the many rare tokens of natural text in the cache. Probes run linearly from the
// top bits of the hash, which depend on every bit of the hashed key.
class EntryIndex {
public:
    static constexpr size_t kMaxNumber = (size_t{1} << 24) - 1;

    explicit EntryIndex(size_t capacity)
        : cells_(capacity), mask_(capacity - 1), shift_(64 - std::countr_zero(capacity)) {}

    size_t position_of(uint64_t hash) const noexcept {
        return static_cast<size_t>(hash >> shift_);
    }
    size_t next(size_t position) const noexcept { return (position + 1) & mask_; }

    // The number of the entry at `position` when its tag is that of `hash`, else 0.
    uint32_t candidate(size_t position, uint64_t hash) const noexcept {
        const uint32_t cell = cells_[position];
        return (cell & 0xFF) == tag_of(hash) ? cell >> 8 : 0;
    }
    bool is_free(size_t position) const noexcept { return cells_[position] == 0; }

    // The first free position of the probe sequence for `hash`.
    size_t free_position(uint64_t hash) const noexcept {
        size_t position = position_of(hash);
        while (!is_free(position)) {
            position = next(position);
        }
        return position;
    }

    // Makes room for `count` entries, numbered from 1, doubling the index while that would
    // fill it more than three quarters and placing the entries already entered (all but the
    // last) anew by hash_of(number). True when it grew, which moves every position.
    template <typename HashOf>
    bool make_room(size_t count, HashOf&& hash_of) {
        if (count * 4 <= cells_.size() * 3) {
            return false;
        }
        size_t capacity = cells_.size() * 2;
        while (count * 4 > capacity * 3) {
            capacity *= 2;
        }
        cells_.assign(capacity, 0);
        mask_ = capacity - 1;
        shift_ = 64 - std::countr_zero(capacity);
        for (uint32_t number = 1; number < count; ++number) {
            const uint64_t hash = hash_of(number);
            cells_[free_position(hash)] = number << 8 | tag_of(hash);
        }
        return true;
    }

    // Enters entry `number` with `hash` at the free `position`.
    void enter(size_t position, uint32_t number, uint64_t hash) noexcept {
        cells_[position] = number << 8 | tag_of(hash);
    }

private:
    // Never 0, so that a free position matches no tag. The bits lie below those of any position.
    static uint32_t tag_of(uint64_t hash) noexcept {
        return (static_cast<uint32_t>(hash >> 24) & 0x7F) | 0x80;
    }

    std::vector<uint32_t> cells_;
    size_t mask_;
    int shift_;
};

// Beyond this many distinct tokens in one table, the tokens get strings of their own.
inline constexpr size_t kMaxEntries = EntryIndex::kMaxNumber;

// Makes the value of a new token with make() and enters it, as make_entry(value), in `entries`
// and at the free `position` of `index`. Room is made first, so that nothing can fail once the
// value exists: running out of memory (std::bad_alloc) leaves neither a value nor an entry
// behind. Past kMaxEntries the value is handed out as make() gave it and not entered. A failure,
// the value Value{}, is passed through and not entered either.
template <typename Entry, typename HashOf, typename Make, typename MakeEntry>
auto add_entry(std::vector<Entry>& entries, EntryIndex& index, size_t position, uint64_t hash,
               HashOf&& hash_of, Make&& make, MakeEntry&& make_entry) -> decltype(make()) {
    if (entries.size() > kMaxEntries) {
        return make();
    }
    if (entries.size() == entries.capacity()) {
        entries.reserve(2 * entries.size());
    }
    if (index.make_room(entries.size(), hash_of)) {
        position = index.free_position(hash);
    }
    auto value = make();
    if (value == decltype(value){}) {
        return value;
    }
    const auto number = static_cast<uint32_t>(entries.size());
    entries.push_back(make_entry(value));
    index.enter(position, number, hash);
    return value;
}

// Tables start at the size their expected number of entries needs, which spares most of the
// rehashing, but never so large that a huge text claims much memory before it has shown many
// distinct tokens.
inline constexpr size_t kMaxExpectedEntries = size_t{1} << 19;

inline size_t initial_index_capacity(size_t expected_entries) noexcept {
    constexpr size_t kMinimum = 256;
    if (expected_entries > kMaxExpectedEntries) {
        expected_entries = kMaxExpectedEntries;
    }
    const size_t wanted = expected_entries + expected_entries / 3;
    return wanted <= kMinimum ? kMinimum : std::bit_ceil(wanted);
}

// The distinct tokens of one text that fit a key of `Words` words, each with the value handed
// out for it and the number of times it was.
template <size_t Words, typename Value>
class KeyedTokens {
public:
    struct Entry {
        TokenKey<Words> key;
        size_t uses;
        Value value;
    };

    KeyedTokens(uint64_t seed, size_t expected_entries)
        : index_(initial_index_capacity(expected_entries)) {
        for (size_t word = 0; word < Words; ++word) {
            seeds_[word] = mix64(seed + (word + 1) * 0x9E3779B97F4A7C15ULL);
        }
        entries_.reserve(std::min(expected_entries, kMaxExpectedEntries) + 1);
        // Entry 0 stands behind every free index position; its all-zero key matches no token.
        entries_.push_back(Entry{{}, 0, Value{}});
    }
    KeyedTokens(const KeyedTokens&) = delete;
    KeyedTokens& operator=(const KeyedTokens&) = delete;

    // Seeded multiply-xor of the words.
    uint64_t hash(const TokenKey<Words>& key) const noexcept {
        static constexpr uint64_t kMultipliers[4] = {0x9E3779B97F4A7C15ULL, 0xC2B2AE3D27D4EB4FULL,
                                                     0x165667B19E3779F9ULL, 0xD6E8FEB86659FD93ULL};
        static_assert(Words <= 4);
        uint64_t hash = 0;
        for (size_t word = 0; word < Words; ++word) {
            hash ^= (key.words[word] ^ seeds_[word]) * kMultipliers[word];
        }
        return hash;
    }

    // The token's entry when the probe for it finds it first, as for nearly every token met
    // before; else null.
    Entry* find_first(const TokenKey<Words>& key, uint64_t hash) noexcept {
        Entry& entry = entries_[index_.candidate(index_.position_of(hash), hash)];
        return entry.key == key ? &entry : nullptr;
    }

    // The value of the token with `key` and `hash`, counted as one more use; a new one from
    // make() when the token is new (see add_entry).
    template <typename Make>
    auto find_or_add(const TokenKey<Words>& key, uint64_t hash, Make&& make) -> decltype(make()) {
        size_t position = index_.position_of(hash);
        for (; !index_.is_free(position); position = index_.next(position)) {
            Entry& entry = entries_[index_.candidate(position, hash)];
            if (entry.key == key) {
                ++entry.uses;
                return entry.value;
            }
        }
        return add_entry(
            entries_, index_, position, hash,
            [this](uint32_t number) { return this->hash(entries_[number].key); }, make,
            [&](Value value) { return Entry{key, 1, value}; });
    }

    template <typename Make>
    auto find_or_add(const TokenKey<Words>& key, Make&& make) -> decltype(make()) {
        return find_or_add(key, hash(key), make);
    }

    // Calls visit(value, uses) for every entry.
    template <typename Visit>
    void for_each(Visit&& visit) const {
        for (size_t number = 1; number < entries_.size(); ++number) {
            visit(entries_[number].value, entries_[number].uses);
        }
    }

    // Whether values may have been handed out past kMaxEntries, without an entry.
    bool full() const noexcept { return entries_.size() > kMaxEntries; }

private:
    std::array<uint64_t, Words> seeds_;
    EntryIndex index_;
    std::vector<Entry> entries_;
};

// The distinct tokens too long for a key, found by a hash of their bytes and compared with
// their first occurrence in the text.
template <typename Value>
class LongTokens {
public:
    struct Entry {
        uint64_t hash;
        size_t offset;  // of the first occurrence's bytes in the text
        size_t size;
        size_t uses;
        Value value;
    };

    LongTokens(const unsigned char* bytes, uint64_t seed)
        : bytes_(bytes), seed_(seed), index_(initial_index_capacity(0)) {
        entries_.push_back(Entry{0, 0, 0, 0, Value{}});
    }
    LongTokens(const LongTokens&) = delete;
    LongTokens& operator=(const LongTokens&) = delete;

    // As KeyedTokens::find_or_add, for the `size` bytes at `offset`.
    template <typename Make>
    auto find_or_add(size_t offset, size_t size, Make&& make) -> decltype(make()) {
        const unsigned char* token = bytes_ + offset;
        const uint64_t hash = hash_bytes(token, size, seed_);
        size_t position = index_.position_of(hash);
        for (; !index_.is_free(position); position = index_.next(position)) {
            const uint32_t number = index_.candidate(position, hash);
            Entry& entry = entries_[number];
            if (number != 0 && entry.hash == hash && entry.size == size &&
                std::memcmp(bytes_ + entry.offset, token, size) == 0) {
                ++entry.uses;
                return entry.value;
            }
        }
        return add_entry(
            entries_, index_, position, hash,
            [this](uint32_t number) { return entries_[number].hash; }, make,
            [&](Value value) { return Entry{hash, offset, size, 1, value}; });
    }

    template <typename Visit>
    void for_each(Visit&& visit) const {
        for (size_t number = 1; number < entries_.size(); ++number) {
            visit(entries_[number].value, entries_[number].uses);
        }
    }

    bool full() const noexcept { return entries_.size() > kMaxEntries; }

private:
    const unsigned char* bytes_;
    uint64_t seed_;
    EntryIndex index_;
    std::vector<Entry> entries_;
};

// One value per distinct token of one text, from `Maker`, and the number of times each was
// handed out.
//
// Natural text repeats a small set of tokens (a space, a newline, "the") over and over, and
// brings most of them early. The tables keep their entries dense, in order of first
// occurrence, so that the frequent tokens' entries share a few cache lines, and find them
// through an index of 32-bit entry numbers small enough that the probes of the many rare
// tokens mostly stay in the cache.
//
// Maker::Value is what the tables hand out for a token; Maker::make(start, end) makes the value
// of a new token, and Maker::make_short(key, start, end) that of a new token with a short key
// (see TokenKey). Value{} stands for a failure: it is handed out as the token's value but not
// kept, and the failure is the caller's to report.
template <typename Char, typename Maker>
class alignas(64) TokenTables {
public:
    using Value = typename Maker::Value;

    TokenTables(Maker& maker, const Char* data, size_t length)
        : maker_(maker),
          data_(data),
          bytes_(reinterpret_cast<const unsigned char*>(data)),
          text_bytes_(length * sizeof(Char)),
          // Natural text of n characters has some n / 80 distinct short tokens (English prose;
          // source code and text with wide characters up to half as many again), and far fewer
          // longer ones. A table that is started small enough to stay in the cache and grows
          // once beats one that starts large.
          short_tokens_(process_hash_seed(), length / 80),
          medium_tokens_(process_hash_seed() + 1, length / 1024),
          long_tokens_(bytes_, process_hash_seed() + 2) {}
    TokenTables(const TokenTables&) = delete;
    TokenTables& operator=(const TokenTables&) = delete;

    // The value for data[start, end). The common cases, a one-character token and a short
    // token met before, are inlined into the caller's loop; everything else stays out of its
    // way.
    [[gnu::always_inline]] Value get(size_t start, size_t end) {
        const size_t length = end - start;
        if (length == 1 && static_cast<uint32_t>(data_[start]) < 256) {
            const auto single = static_cast<uint32_t>(data_[start]);
            if (single_uses_[single] == 0) [[unlikely]] {
                return add_single(start);
            }
            ++single_uses_[single];
            return single_values_[single];
        }
        const size_t offset = start * sizeof(Char);
        const size_t size = length * sizeof(Char);
        const size_t readable = text_bytes_ - offset;
        TokenKey<2> key;
        if constexpr (sizeof(Char) == 1) {
            if (size > kMaxKeyBytes<2> || readable < kKeyLoad<2>) [[unlikely]] {
                return get_longer(start, end);
            }
            key = token_key<2>(bytes_ + offset, size);
        } else {
            if (length > kMaxKeyBytes<2> || readable < sizeof(NarrowedUnits::bytes) * sizeof(Char))
                [[unlikely]] {
                return get_longer(start, end);
            }
            if (!narrowed_key(narrow_units(data_ + start), length, key)) {
                if (size > kMaxKeyBytes<2>) {
                    return get_longer(start, end);
                }
                key = token_key<2>(bytes_ + offset, size);
            }
        }
        const uint64_t hash = short_tokens_.hash(key);
        auto* entry = short_tokens_.find_first(key, hash);
        if (entry == nullptr) [[unlikely]] {
            return find_or_add_short(key, hash, start, end);
        }
        ++entry->uses;
        return entry->value;
    }

    // Calls visit(value, uses) for every value the tables keep: those of the one-character
    // tokens and of the entries.
    template <typename Visit>
    void for_each(Visit&& visit) const {
        for (size_t single = 0; single < 256; ++single) {
            if (single_uses_[single] != 0) {
                visit(single_values_[single], single_uses_[single]);
            }
        }
        short_tokens_.for_each(visit);
        medium_tokens_.for_each(visit);
        long_tokens_.for_each(visit);
    }

    // Whether every value handed out is one that for_each visits.
    bool kept_every_value() const noexcept {
        return !short_tokens_.full() && !medium_tokens_.full() && !long_tokens_.full();
    }

private:
    [[gnu::noinline]] Value add_single(size_t start) {
        Value single = maker_.make(start, start + 1);
        if (single != Value{}) {
            const auto index = static_cast<uint32_t>(data_[start]);
            single_values_[index] = single;
            single_uses_[index] = 1;
        }
        return single;
    }

    // The key comes by value, in registers, so that the inlined lookup need not store it.
    [[gnu::noinline]] Value find_or_add_short(TokenKey<2> key, uint64_t hash, size_t start,
                                              size_t end) {
        return short_tokens_.find_or_add(key, hash,
                                         [&] { return maker_.make_short(key, start, end); });
    }

    // What get() leaves: tokens too long for a short key, and short ones too close to the
    // text's end to read a whole key's worth of bytes, which are keyed from a padded copy. The
    // key of a token depends on its characters only, never on where it stands.
    [[gnu::noinline]] Value get_longer(size_t start, size_t end) {
        const size_t length = end - start;
        const size_t offset = start * sizeof(Char);
        const size_t size = length * sizeof(Char);
        const size_t readable = text_bytes_ - offset;
        auto make_token = [&] { return maker_.make(start, end); };
        if constexpr (sizeof(Char) > 1) {
            if (length <= kMaxKeyBytes<2>) {
                Char units[sizeof(NarrowedUnits::bytes)] = {};
                std::memcpy(units, data_ + start, size);
                TokenKey<2> key;
                if (narrowed_key(narrow_units(units), length, key)) {
                    return short_tokens_.find_or_add(
                        key, [&] { return maker_.make_short(key, start, end); });
                }
            }
        }
        if (size <= kMaxKeyBytes<2>) {
            const TokenKey<2> key = token_key_copied<2>(bytes_ + offset, size);
            return short_tokens_.find_or_add(key,
                                             [&] { return maker_.make_short(key, start, end); });
        }
        if (size <= kMaxKeyBytes<4>) {
            const TokenKey<4> key = readable >= kKeyLoad<4>
                                        ? token_key<4>(bytes_ + offset, size)
                                        : token_key_copied<4>(bytes_ + offset, size);
            return medium_tokens_.find_or_add(key, make_token);
        }
        return long_tokens_.find_or_add(offset, size, make_token);
    }

    Maker& maker_;
    const Char* data_;
    const unsigned char* bytes_;
    size_t text_bytes_;
    KeyedTokens<2, Value> short_tokens_;
    KeyedTokens<4, Value> medium_tokens_;
    LongTokens<Value> long_tokens_;
    Value single_values_[256] = {};
    size_t single_uses_[256] = {};
};

}  // namespace qvc
