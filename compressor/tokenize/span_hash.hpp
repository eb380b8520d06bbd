// Hashing of token text in a string's native storage, seeded once per process so that a crafted
// text cannot force the token tables into long collision chains.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qvc {

uint64_t process_hash_seed() noexcept;

inline uint64_t mix64(uint64_t x) noexcept {
    x ^= x >> 32;
    x *= 0xd6e8feb86659fd93ULL;
    x ^= x >> 32;
    x *= 0xd6e8feb86659fd93ULL;
    x ^= x >> 32;
    return x;
}

inline uint64_t hash_bytes(const void* data, size_t size, uint64_t seed) noexcept {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    uint64_t h = seed ^ (size * 0x9E3779B97F4A7C15ULL);
    while (size >= 8) {
        uint64_t word;
        std::memcpy(&word, p, 8);
        h = (h ^ word) * 0xff51afd7ed558ccdULL;
        h ^= h >> 29;
        p += 8;
        size -= 8;
    }
    if (size >= 4) {
        uint32_t low, high;
        std::memcpy(&low, p, 4);
        std::memcpy(&high, p + size - 4, 4);
        h = (h ^ (static_cast<uint64_t>(high) << 32 | low)) * 0xc4ceb9fe1a85ec53ULL;
    } else if (size > 0) {
        uint64_t word = static_cast<uint64_t>(p[0]) << 16 | static_cast<uint64_t>(p[size >> 1]) << 8 |
                        p[size - 1];
        h = (h ^ word) * 0xc4ceb9fe1a85ec53ULL;
    }
    return mix64(h);
}

}  // namespace qvc
