// Storage for the distinct-token numbers of every token of one encode_files call: four bytes a
// token, held between reading the files and packing the stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qvc {

// Hands out runs of uint32_t from large blocks mapped straight from the operating system and
// gives each block back as soon as it is used up, so that the numbers already packed stop
// counting against the process while the packed stream fills up (memory freed through malloc
// mostly stays with the process).
class TokenNumbers {
public:
    struct Run {
        uint32_t* numbers;
        size_t block;  // kNoBlock for an empty run
    };
    static constexpr size_t kNoBlock = SIZE_MAX;

    TokenNumbers() = default;
    TokenNumbers(const TokenNumbers&) = delete;
    TokenNumbers& operator=(const TokenNumbers&) = delete;
    ~TokenNumbers() { release_all(); }

    // Room for `count` numbers, in one piece. Throws std::bad_alloc when memory runs out.
    Run allocate(size_t count);

    // Gives back every block before `block`.
    void release_before(size_t block) noexcept;
    void release_all() noexcept;

private:
    struct Block {
        void* memory;
        size_t bytes;
        size_t used;  // in numbers
    };

    std::vector<Block> blocks_;
};

}  // namespace qvc
