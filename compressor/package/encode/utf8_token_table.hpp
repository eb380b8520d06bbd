// The distinct tokens of one encode_files call, found in the files' UTF-8 bytes: each token is
// numbered 0, 1, 2, ... in order of first occurrence, and its bytes are kept where they never
// move, so that another thread can make its str while numbering goes on.
#pragma once

#include "compressor/package/encode/mapped_allocator.hpp"
#include "compressor/tokenize/span_hash.hpp"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace qvc {

// A distinct token's bytes, as the numbering thread left them.
struct TokenBytes {
    const unsigned char* bytes;
    size_t length;
};

class Utf8TokenTable {
public:
    // `max_tokens` bounds the number of distinct tokens (their index never moves).
    explicit Utf8TokenTable(size_t max_tokens);
    Utf8TokenTable(const Utf8TokenTable&) = delete;
    Utf8TokenTable& operator=(const Utf8TokenTable&) = delete;

    // The number of the token [bytes, bytes + length), a new one when it was not met before.
    // The 16 bytes from `bytes` on may be read. Throws std::bad_alloc.
    uint32_t number(const unsigned char* bytes, size_t length);

    // Numbers `count` tokens at once, ending at the cuts given (the first starting at `start`),
    // writing out[i]: lookups of the big table overlap instead of following one another.
    template <typename Tokens>
    void number_all(const Tokens& tokens, size_t count, uint32_t* out);

    // A number with no bytes behind it: a token that is not to be found again by its bytes.
    uint32_t add_unshared();

    size_t size() const noexcept { return count_; }

    // Forgets every token numbered `count` or later (their bytes too).
    void truncate(size_t count);
    // Lets go of what finding tokens needs, once no more are numbered or forgotten: only size()
    // and token() may be used afterwards.
    void release_lookup() noexcept;
    // Lets go of everything, once the tokens' strs are made.
    void release() noexcept;

    // The bytes of token `number` (null for an unshared one); for another thread, only below a count published to it after
    // the token was numbered.
    TokenBytes token(size_t number) const noexcept {
        const Entry& entry = index_[number >> kIndexShift][number & (kIndexChunk - 1)];
        return {entry.bytes, entry.length};
    }

private:
    static constexpr size_t kShortBytes = 16;
    static constexpr uint32_t kShortToken = 0x80000000u;
    static constexpr size_t kIndexShift = 16;
    static constexpr size_t kIndexChunk = size_t{1} << kIndexShift;
    static constexpr size_t kArenaBlock = size_t{1} << 20;
    static constexpr size_t kRecentSlots = 16384;

    struct Entry {
        const unsigned char* bytes;
        size_t length;  // a token may be longer than 4 GiB
    };
    struct Slot {
        uint64_t head;
        uint64_t tail;
        uint32_t check;
        uint32_t number_plus_one;  // 0: empty
    };
    struct Key {
        uint64_t head;
        uint64_t tail;
        uint64_t hash;
        uint32_t check;
    };

    Key key_of(const unsigned char* bytes, size_t length) const noexcept;
    // As key_of, for bytes that may end where nothing more may be read.
    Key key_of_stored(const unsigned char* bytes, size_t length) const noexcept {
        if (length > kShortBytes) {
            return key_of(bytes, length);
        }
        unsigned char padded[kShortBytes] = {};
        std::memcpy(padded, bytes, length);
        return key_of(padded, length);
    }
    bool same(const Slot& slot, const Key& key, const unsigned char* bytes,
              size_t length) const noexcept;
    uint32_t settle(const Key& key, const unsigned char* bytes, size_t length);
    uint32_t add(const Key& key, const unsigned char* bytes, size_t length);
    void place(const Slot& slot, uint64_t hash) noexcept;
    void grow();
    Slot& recent_slot(const Key& key) noexcept {
        return recent_[static_cast<size_t>(key.hash >> 40) & (kRecentSlots - 1)];
    }

    using SlotTable = std::vector<Slot, MappedAllocator<Slot, true>>;

    uint64_t seed_;
    size_t count_ = 0;
    std::vector<std::unique_ptr<Entry[]>> index_;
    std::vector<uint64_t, MappedAllocator<uint64_t>> hashes_;
    std::vector<std::unique_ptr<unsigned char[]>> arena_;
    unsigned char* arena_free_ = nullptr;
    size_t arena_room_ = 0;
    SlotTable slots_;
    size_t mask_ = 0;
    std::vector<Slot> recent_;
    std::array<uint32_t, 128> single_byte_{};  // numbers plus one of the one-byte tokens
};

inline Utf8TokenTable::Key Utf8TokenTable::key_of(const unsigned char* bytes,
                                                  size_t length) const noexcept {
    Key key;
    if (length <= kShortBytes) {
        uint64_t head;
        uint64_t tail;
        std::memcpy(&head, bytes, 8);
        std::memcpy(&tail, bytes + 8, 8);
        if (length < 8) {
            head &= (uint64_t{1} << (8 * length)) - 1;
        }
        if (length <= 8) {
            tail = 0;
        } else if (length < 16) {
            tail &= (uint64_t{1} << (8 * (length - 8))) - 1;
        }
        key.head = head;
        key.tail = tail;
        key.check = kShortToken | static_cast<uint32_t>(length);
        const uint64_t h = (head ^ seed_) * 0x9E3779B97F4A7C15ULL ^
                           (tail + key.check + (seed_ >> 17)) * 0xC2B2AE3D27D4EB4FULL;
        key.hash = h ^ (h >> 29) ^ (h >> 47);
        return key;
    }
    std::memcpy(&key.head, bytes, 8);
    key.tail = 0;
    key.hash = hash_bytes(bytes, length, seed_);
    key.check = static_cast<uint32_t>(key.hash >> 33);
    return key;
}

inline bool Utf8TokenTable::same(const Slot& slot, const Key& key, const unsigned char* bytes,
                                 size_t length) const noexcept {
    if (slot.check != key.check || slot.head != key.head || slot.tail != key.tail ||
        slot.number_plus_one == 0) {
        return false;
    }
    if ((key.check & kShortToken) != 0) {
        return true;
    }
    const TokenBytes stored = token(slot.number_plus_one - 1);
    return stored.length == length && hashes_[slot.number_plus_one - 1] == key.hash &&
           std::memcmp(stored.bytes, bytes, length) == 0;
}

inline uint32_t Utf8TokenTable::number(const unsigned char* bytes, size_t length) {
    if (length == 1 && bytes[0] < 0x80) {
        uint32_t& single = single_byte_[bytes[0]];
        if (single == 0) {
            single = add(Key{bytes[0], 0, 0, 0}, bytes, 1) + 1;
        }
        return single - 1;
    }
    const Key key = key_of(bytes, length);
    const Slot& recent = recent_slot(key);
    if (same(recent, key, bytes, length)) {
        return recent.number_plus_one - 1;
    }
    return settle(key, bytes, length);
}

template <typename Tokens>
void Utf8TokenTable::number_all(const Tokens& tokens, size_t count, uint32_t* out) {
    // Tokens found at once (recently met, or one ASCII byte) get their number right away; the
    // others wait in a ring while their slot is fetched, and are settled in order, since a new
    // token's number depends on the tokens added before it.
    constexpr size_t kLookahead = 16;
    struct Pending {
        Key key;
        const unsigned char* bytes;
        size_t length;
        size_t position;
    };
    std::array<Pending, kLookahead> ring;
    size_t waiting = 0;
    size_t oldest = 0;
    auto settle_oldest = [&] {
        const Pending& pending = ring[oldest % kLookahead];
        out[pending.position] = settle(pending.key, pending.bytes, pending.length);
        ++oldest;
        --waiting;
    };
    for (size_t i = 0; i < count; ++i) {
        const unsigned char* bytes = tokens.bytes(i);
        const size_t length = tokens.length(i);
        if (length == 1 && bytes[0] < 0x80 && single_byte_[bytes[0]] != 0) {
            out[i] = single_byte_[bytes[0]] - 1;
            continue;
        }
        if (length == 1 && bytes[0] < 0x80) {
            // A first one-byte token: settled in order with the others.
            while (waiting != 0) {
                settle_oldest();
            }
            out[i] = number(bytes, length);
            continue;
        }
        Pending& pending = ring[(oldest + waiting) % kLookahead];
        pending.key = key_of(bytes, length);
        const Slot& recent = recent_slot(pending.key);
        if (same(recent, pending.key, bytes, length)) {
            // Numbered before: the number holds, whatever the tokens still waiting add.
            out[i] = recent.number_plus_one - 1;
            continue;
        }
        __builtin_prefetch(&slots_[static_cast<size_t>(pending.key.hash) & mask_]);
        pending.bytes = bytes;
        pending.length = length;
        pending.position = i;
        if (++waiting == kLookahead) {
            settle_oldest();
        }
    }
    while (waiting != 0) {
        settle_oldest();
    }
}

}  // namespace qvc
