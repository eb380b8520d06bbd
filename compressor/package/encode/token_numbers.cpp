#include "compressor/package/encode/token_numbers.hpp"

#include <new>
#include <sys/mman.h>

namespace qvc {
namespace {

// Large enough that a file rarely needs a block of its own, small enough that giving blocks
// back tracks the packing closely.
constexpr size_t kBlockBytes = size_t{4} << 20;

}  // namespace

TokenNumbers::Run TokenNumbers::allocate(size_t count) {
    if (count == 0) {
        return Run{nullptr, kNoBlock};
    }
    const size_t bytes = count * sizeof(uint32_t);
    if (!blocks_.empty()) {
        Block& last = blocks_.back();
        if (last.memory != nullptr && last.bytes - last.used * sizeof(uint32_t) >= bytes) {
            uint32_t* numbers = static_cast<uint32_t*>(last.memory) + last.used;
            last.used += count;
            return Run{numbers, blocks_.size() - 1};
        }
    }
    const size_t block_bytes = bytes > kBlockBytes ? bytes : kBlockBytes;
    blocks_.reserve(blocks_.size() + 1);
    void* memory =
        mmap(nullptr, block_bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        throw std::bad_alloc();
    }
    blocks_.push_back(Block{memory, block_bytes, count});
    return Run{static_cast<uint32_t*>(memory), blocks_.size() - 1};
}

void TokenNumbers::release_before(size_t block) noexcept {
    const size_t end = block < blocks_.size() ? block : blocks_.size();
    for (size_t i = 0; i < end; ++i) {
        if (blocks_[i].memory != nullptr) {
            munmap(blocks_[i].memory, blocks_[i].bytes);
            blocks_[i].memory = nullptr;
        }
    }
}

void TokenNumbers::release_all() noexcept {
    release_before(blocks_.size());
    blocks_.clear();
}

}  // namespace qvc
