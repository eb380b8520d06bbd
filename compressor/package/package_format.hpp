// The package file's fixed numbers and its token record layout.
#pragma once

#include "compressor/pyapi/py_ref.hpp"

#include <cstddef>
#include <cstdint>

namespace qvc {

// The stream is addressed with signed 32-bit byte offsets: at most 2^29 records of 4 bytes.
constexpr uint64_t kMaxPackageTokens = 536870912;
constexpr uint64_t kMaxStreamBytes = kMaxPackageTokens * 4;
constexpr int32_t kLargestTokenId = INT32_MAX;

// ValueError for input beyond what one package can hold. Returns false.
inline bool raise_too_many_tokens() {
    PyErr_Format(PyExc_ValueError,
                 "the files hold more than %llu tokens, the most one package can hold",
                 static_cast<unsigned long long>(kMaxPackageTokens));
    return false;
}

// A token id as one 4-byte record, most significant byte first.
inline void store_record(unsigned char* record, uint32_t id) noexcept {
    record[0] = static_cast<unsigned char>(id >> 24);
    record[1] = static_cast<unsigned char>(id >> 16);
    record[2] = static_cast<unsigned char>(id >> 8);
    record[3] = static_cast<unsigned char>(id);
}

inline uint32_t load_record(const unsigned char* record) noexcept {
    return static_cast<uint32_t>(record[0]) << 24 | static_cast<uint32_t>(record[1]) << 16 |
           static_cast<uint32_t>(record[2]) << 8 | static_cast<uint32_t>(record[3]);
}

}  // namespace qvc
