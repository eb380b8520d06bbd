// Every token of one encode_files call as the number of its distinct token, four bytes a token in
// blocks that never move: one thread appends, another reads the blocks filled so far, packs each
// block's records in place and gives the block back once it has gone to the compressor.
#pragma once

#include "compressor/package/encode/mapped_allocator.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qvc {

class TokenStream {
public:
    static constexpr size_t kBlockShift = 20;
    static constexpr size_t kBlockTokens = size_t{1} << kBlockShift;

    // Room for `max_tokens` tokens and a block more.
    explicit TokenStream(size_t max_tokens)
        : blocks_((max_tokens >> kBlockShift) + 2, nullptr),
          distinct_ends_((max_tokens >> kBlockShift) + 2, 0) {}
    TokenStream(const TokenStream&) = delete;
    TokenStream& operator=(const TokenStream&) = delete;
    ~TokenStream() {
        for (size_t block = 0; block < blocks_.size(); ++block) {
            release(block);
        }
    }

    // Where the next tokens' numbers go, and how many fit there. Throws std::bad_alloc.
    uint32_t* room(size_t& fits) {
        const size_t block = size_ >> kBlockShift;
        if (blocks_[block] == nullptr) {
            blocks_[block] = static_cast<uint32_t*>(
                detail::allocate_mapped(kBlockTokens * sizeof(uint32_t), false));
        }
        const size_t used = size_ & (kBlockTokens - 1);
        fits = kBlockTokens - used;
        return blocks_[block] + used;
    }

    // Takes in the `count` numbers written at room(); `distinct` is the number of distinct
    // tokens met so far, which the block's numbers stay below.
    void commit(size_t count, size_t distinct) noexcept {
        size_ += count;
        distinct_ends_[(size_ - 1) >> kBlockShift] = distinct;
    }

    // Forgets the tokens from `count` on (their blocks stay for the tokens that replace them).
    void truncate(size_t count) noexcept { size_ = count < size_ ? count : size_; }

    size_t size() const noexcept { return size_; }
    size_t block_count() const noexcept { return (size_ + kBlockTokens - 1) >> kBlockShift; }
    uint32_t* block(size_t index) const noexcept { return blocks_[index]; }
    size_t tokens_in_block(size_t index) const noexcept {
        const size_t start = index << kBlockShift;
        return size_ - start < kBlockTokens ? size_ - start : kBlockTokens;
    }
    // The distinct tokens that the numbers of block `index` stay below.
    size_t distinct_end(size_t index) const noexcept { return distinct_ends_[index]; }

    void release(size_t index) noexcept {
        detail::free_mapped(blocks_[index], kBlockTokens * sizeof(uint32_t));
        blocks_[index] = nullptr;
    }

private:
    std::vector<uint32_t*> blocks_;
    std::vector<size_t> distinct_ends_;
    size_t size_ = 0;
};

}  // namespace qvc
