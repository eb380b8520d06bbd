// tokenize and detokenize: splitting a text into its whitespace and non-whitespace runs, and
// joining token strings back into text.
#include "compressor/interpreter_calls.hpp"
#include "compressor/methods.hpp"
#include "compressor/tokenize/span_hash.hpp"
#include "compressor/tokenize/tokenizer.hpp"
#include "compressor/tokenize/whitespace_scanner.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qvc {
namespace {

// Adds `count` references to `obj` at once, with the effect of as many Py_INCREF calls.
inline void add_references(PyObject* obj, size_t count) noexcept {
#if defined(Py_GIL_DISABLED)
    // Reference counts shared between threads leave no single field to set.
    for (; count > 0; --count) {
        Py_INCREF(obj);
    }
#elif PY_VERSION_HEX >= 0x030C0000
    // A count beyond 31 bits marks an immortal object, whose count no longer changes (and which
    // Py_SET_REFCNT leaves alone); a count that would grow into that range is left to Py_INCREF,
    // which knows how it saturates.
    constexpr Py_ssize_t kImmortalBound = Py_ssize_t{1} << 31;
    const Py_ssize_t current = Py_REFCNT(obj);
    if (current >= kImmortalBound) {
        return;
    }
    if (count >= static_cast<size_t>(kImmortalBound - current)) {
        for (; count > 0; --count) {
            Py_INCREF(obj);
        }
        return;
    }
    Py_SET_REFCNT(obj, current + static_cast<Py_ssize_t>(count));
#else
    Py_SET_REFCNT(obj, Py_REFCNT(obj) + static_cast<Py_ssize_t>(count));
#endif
}

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

// Makes the string of a new token with make() and enters it, as make_entry(str), in `entries`
// and at the free `position` of `index`. Room is made first, so that nothing can fail once the
// string exists: running out of memory (std::bad_alloc) leaves neither a string nor an entry
// behind. Past kMaxEntries the string is handed out with make()'s reference and not entered.
template <typename Entry, typename HashOf, typename Make, typename MakeEntry>
PyObject* add_entry(std::vector<Entry>& entries, EntryIndex& index, size_t position,
                    uint64_t hash, HashOf&& hash_of, Make&& make, MakeEntry&& make_entry) {
    if (entries.size() > kMaxEntries) {
        return make();
    }
    if (entries.size() == entries.capacity()) {
        entries.reserve(2 * entries.size());
    }
    if (index.make_room(entries.size(), hash_of)) {
        position = index.free_position(hash);
    }
    PyObject* str = make();
    if (str == nullptr) {
        return nullptr;
    }
    const auto number = static_cast<uint32_t>(entries.size());
    entries.push_back(make_entry(str));
    index.enter(position, number, hash);
    return str;
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

// Gives each string the references its uses hold. The table's own reference, which every
// string has from its making, becomes that of its first use, so that a string used once, like
// most distinct tokens of natural text, is not touched at all; the others lie all over the
// heap, and each is fetched a few entries ahead.
template <typename Entry>
void hand_over_references(const std::vector<Entry>& entries) noexcept {
    constexpr size_t kAhead = 8;
    const size_t count = entries.size();
    for (size_t i = 0; i < count; ++i) {
        if (i + kAhead < count && entries[i + kAhead].uses > 1) {
            __builtin_prefetch(entries[i + kAhead].str, 1);
        }
        if (entries[i].uses > 1) {
            add_references(entries[i].str, entries[i].uses - 1);
        }
    }
}

// The distinct tokens of one text that fit a key of `Words` words, each with its string, which
// the table owns, and the number of references to it handed out.
template <size_t Words>
class KeyedTokens {
public:
    struct Entry {
        TokenKey<Words> key;
        size_t uses;
        PyObject* str;
    };

    KeyedTokens(uint64_t seed, size_t expected_entries)
        : index_(initial_index_capacity(expected_entries)) {
        for (size_t word = 0; word < Words; ++word) {
            seeds_[word] = mix64(seed + (word + 1) * 0x9E3779B97F4A7C15ULL);
        }
        entries_.reserve(std::min(expected_entries, kMaxExpectedEntries) + 1);
        // Entry 0 stands behind every free index position; its all-zero key matches no token.
        entries_.push_back(Entry{{}, 0, nullptr});
    }
    KeyedTokens(const KeyedTokens&) = delete;
    KeyedTokens& operator=(const KeyedTokens&) = delete;
    ~KeyedTokens() { hand_over_references(entries_); }

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

    // The string of the token with `key` and `hash`, counted as one more use; a new one from
    // make() when the token is new. Past kMaxEntries, a new token's string is not entered but
    // handed out with make()'s reference. Null when make() fails.
    template <typename Make>
    PyObject* find_or_add(const TokenKey<Words>& key, uint64_t hash, Make&& make) {
        size_t position = index_.position_of(hash);
        for (; !index_.is_free(position); position = index_.next(position)) {
            Entry& entry = entries_[index_.candidate(position, hash)];
            if (entry.key == key) {
                ++entry.uses;
                return entry.str;
            }
        }
        return add_entry(
            entries_, index_, position, hash,
            [this](uint32_t number) { return this->hash(entries_[number].key); }, make,
            [&](PyObject* str) { return Entry{key, 1, str}; });
    }

    template <typename Make>
    PyObject* find_or_add(const TokenKey<Words>& key, Make&& make) {
        return find_or_add(key, hash(key), make);
    }

private:
    std::array<uint64_t, Words> seeds_;
    EntryIndex index_;
    std::vector<Entry> entries_;
};

// The distinct tokens too long for a key, found by a hash of their bytes and compared with
// their first occurrence in the text.
class LongTokens {
public:
    struct Entry {
        uint64_t hash;
        size_t offset;  // of the first occurrence's bytes in the text
        size_t size;
        size_t uses;
        PyObject* str;
    };

    LongTokens(const unsigned char* bytes, uint64_t seed)
        : bytes_(bytes), seed_(seed), index_(initial_index_capacity(0)) {
        entries_.push_back(Entry{0, 0, 0, 0, nullptr});
    }
    LongTokens(const LongTokens&) = delete;
    LongTokens& operator=(const LongTokens&) = delete;
    ~LongTokens() { hand_over_references(entries_); }

    // As KeyedTokens::find_or_add, for the `size` bytes at `offset`.
    template <typename Make>
    PyObject* find_or_add(size_t offset, size_t size, Make&& make) {
        const unsigned char* token = bytes_ + offset;
        const uint64_t hash = hash_bytes(token, size, seed_);
        size_t position = index_.position_of(hash);
        for (; !index_.is_free(position); position = index_.next(position)) {
            const uint32_t number = index_.candidate(position, hash);
            Entry& entry = entries_[number];
            if (number != 0 && entry.hash == hash && entry.size == size &&
                std::memcmp(bytes_ + entry.offset, token, size) == 0) {
                ++entry.uses;
                return entry.str;
            }
        }
        return add_entry(
            entries_, index_, position, hash,
            [this](uint32_t number) { return entries_[number].hash; }, make,
            [&](PyObject* str) { return Entry{hash, offset, size, 1, str}; });
    }

private:
    const unsigned char* bytes_;
    uint64_t seed_;
    EntryIndex index_;
    std::vector<Entry> entries_;
};

// Hands out one string object per distinct token of one text. Natural text repeats a small set
// of tokens (a space, a newline, "the") over and over; sharing them saves a string allocation
// per occurrence and most of the result's memory. Equal tokens are indistinguishable to callers,
// since strings are immutable.
//
// The strings it hands out are borrowed from the tables, which count them and, when they end,
// give each string as many references as the list holds of it. The split thereby never touches
// a string object after creating it: the reference count of a rare token would be a cache miss
// per occurrence.
//
// The tables keep their entries dense, in order of first occurrence, and find them through an
// index of 32-bit entry numbers. Natural text brings its frequent tokens early, so that their
// entries share a few cache lines, and the index is small enough that the probes of the many
// rare tokens mostly stay in the cache.
template <typename Char>
class SharedTokenStrings {
public:
    SharedTokenStrings(PyObject* text, const Char* data, size_t length)
        : text_(text),
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
    SharedTokenStrings(const SharedTokenStrings&) = delete;
    SharedTokenStrings& operator=(const SharedTokenStrings&) = delete;
    ~SharedTokenStrings() {
        for (PyObject* single : single_chars_) {
            Py_XDECREF(single);
        }
    }

    // The string for data[start, end), for one item of the list: the reference the item holds
    // is complete once the tables end. Null with an exception set on failure. The common cases,
    // a one-character token and a short token met before, are inlined into the scan; everything
    // else stays out of its way.
    [[gnu::always_inline]] PyObject* get(size_t start, size_t end) {
        const size_t length = end - start;
        if (length == 1 && static_cast<uint32_t>(data_[start]) < 256) {
            // One character: the interpreter's own shared string (immortal from 3.12 on), by far
            // the most frequent token of natural text (a space) among them.
            PyObject* single = single_chars_[static_cast<uint32_t>(data_[start])];
            if (single == nullptr) [[unlikely]] {
                return add_single(start);
            }
            Py_INCREF(single);
            return single;
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
        return entry->str;
    }

private:
    [[gnu::noinline]] PyObject* add_single(size_t start) {
        PyObject* single = make(start, start + 1);
        if (single == nullptr) {
            return nullptr;
        }
        single_chars_[static_cast<uint32_t>(data_[start])] = single;
        return Py_NewRef(single);
    }

    // The key comes by value, in registers, so that the inlined lookup need not store it.
    [[gnu::noinline]] PyObject* find_or_add_short(TokenKey<2> key, uint64_t hash, size_t start,
                                                  size_t end) {
        return short_tokens_.find_or_add(key, hash, [&] { return make_short(key, start, end); });
    }

    // A new string for a short token, made as make() would make it, but knowing what the key
    // tells of the token's characters, which spares the interpreter's search for the widest of
    // them and, for a wider text, the conversion: a key that holds Latin-1 bytes (any token of
    // a 1-byte text, a narrowed one of a wider text) has them all; a token of a 2-byte text
    // that could not be narrowed has a character above U+00FF.
    PyObject* make_short(const TokenKey<2>& key, size_t start, size_t end) {
        const size_t length = end - start;
        const bool latin1_key = sizeof(Char) == 1 || (key.words[1] & kNarrowedKeyFlag) != 0;
        if (length < 2 || (!latin1_key && sizeof(Char) != 2)) {
            return make(start, end);  // one character: the interpreter's shared string
        }
        Py_UCS4 widest;
        if (latin1_key) {
            const uint64_t characters = key.words[0] | (key.words[1] & ~in_last_byte(0xFF));
            widest = (characters & 0x8080808080808080ULL) == 0 ? 0x7F : 0xFF;
        } else {
            widest = 0xFFFF;
        }
        PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(length), widest);
        if (str != nullptr) {
            if (latin1_key) {
                std::memcpy(PyUnicode_1BYTE_DATA(str), key.words.data(), length);
            } else {
                std::memcpy(PyUnicode_DATA(str), data_ + start, length * sizeof(Char));
            }
        }
        return str;
    }

    // What get() leaves: tokens too long for a short key, and short ones too close to the
    // text's end to read a whole key's worth of bytes, which are keyed from a padded copy. The
    // key of a token depends on its characters only, never on where it stands.
    [[gnu::noinline]] PyObject* get_longer(size_t start, size_t end) {
        const size_t length = end - start;
        const size_t offset = start * sizeof(Char);
        const size_t size = length * sizeof(Char);
        const size_t readable = text_bytes_ - offset;
        auto make_token = [&] { return make(start, end); };
        if constexpr (sizeof(Char) > 1) {
            if (length <= kMaxKeyBytes<2>) {
                Char units[sizeof(NarrowedUnits::bytes)] = {};
                std::memcpy(units, data_ + start, size);
                TokenKey<2> key;
                if (narrowed_key(narrow_units(units), length, key)) {
                    return short_tokens_.find_or_add(key, make_token);
                }
            }
        }
        if (size <= kMaxKeyBytes<2>) {
            return short_tokens_.find_or_add(token_key_copied<2>(bytes_ + offset, size),
                                             make_token);
        }
        if (size <= kMaxKeyBytes<4>) {
            const TokenKey<4> key = readable >= kKeyLoad<4>
                                        ? token_key<4>(bytes_ + offset, size)
                                        : token_key_copied<4>(bytes_ + offset, size);
            return medium_tokens_.find_or_add(key, make_token);
        }
        return long_tokens_.find_or_add(offset, size, make_token);
    }

    // A substring as the interpreter makes it: the one-character and whole-text cases give the
    // interpreter's shared objects, as the regular-expression search would.
    PyObject* make(size_t start, size_t end) {
        return PyUnicode_Substring(text_, static_cast<Py_ssize_t>(start),
                                   static_cast<Py_ssize_t>(end));
    }

    PyObject* text_;
    const Char* data_;
    const unsigned char* bytes_;
    size_t text_bytes_;
    KeyedTokens<2> short_tokens_;
    KeyedTokens<4> medium_tokens_;
    LongTokens long_tokens_;
    PyObject* single_chars_[256] = {};
};

template <typename Char>
PyObject* split_text(PyObject* text, const Char* data, size_t length) {
    // One scan classifies the text: its cut masks size the list, then lead the split, which
    // so reads an eighth of a byte a character instead of classifying every one again.
    std::vector<uint64_t> cuts;
    cuts.reserve((length + kScanBlock - 1) / kScanBlock);
    size_t count = length == 0 ? 0 : 1;
    scan_cut_blocks(data, length, [&](size_t, uint64_t block_cuts) {
        cuts.push_back(block_cuts);
        count += static_cast<size_t>(std::popcount(block_cuts));
        return true;
    });
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list || count == 0) {
        return list.release();
    }
    bool complete;
    {
        SharedTokenStrings<Char> strings(text, data, length);
        PyObject** next_item = reinterpret_cast<PyListObject*>(list.get())->ob_item;
        complete = scan_tokens_of_cuts(cuts.data(), length, [&](size_t start, size_t end) {
            PyObject* token = strings.get(start, end);
            if (token == nullptr) [[unlikely]] {
                return false;
            }
            *next_item++ = token;
            return true;
        });
        // The tables end here and give the list's items their references, also after a
        // failure, so that the list releases exactly what it holds.
    }
    return complete ? list.release() : nullptr;
}

}  // namespace

PyObject* split_into_tokens(PyObject* text) {
    size_t length = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            return split_text(text, PyUnicode_1BYTE_DATA(text), length);
        case PyUnicode_2BYTE_KIND:
            return split_text(text, PyUnicode_2BYTE_DATA(text), length);
        default:
            return split_text(text, PyUnicode_4BYTE_DATA(text), length);
    }
}

PyObject* tokenize(MethodCall& call) {
    PyObject* text = call.args.object(0);
    if (text == Py_None) {
        // None passes the argument test and meets the regular-expression search, whose own
        // error it gets.
        ModuleState* st = call.state;
        PyRef re = module_global(call.module, st->s_re);
        return re ? call_method(re.get(), st->s_findall, st->s_token_pattern, text).release()
                  : nullptr;
    }
    return split_into_tokens(text);
}

PyObject* detokenize(MethodCall& call) {
    return PyUnicode_Join(call.state->s_empty, call.args.object(0));
}

}  // namespace qvc
