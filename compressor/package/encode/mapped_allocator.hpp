// An allocator for the encoder's large working tables: they are mapped straight from the operating
// system and unmapped when freed, so that their memory leaves the process at once instead of
// staying with malloc (which, after a large block is freed, serves ever larger requests from its
// heap and keeps that memory when they are freed).
#pragma once

#include <cstddef>

namespace qvc {

namespace detail {

// Memory of `bytes` bytes, zero-filled when it comes straight from the system. `probed_at_random`
// asks for huge pages where that is possible, so that a table probed at random does not also
// miss the address translation cache at every turn. Throws std::bad_alloc.
void* allocate_mapped(size_t bytes, bool probed_at_random);
void free_mapped(void* memory, size_t bytes) noexcept;

}  // namespace detail

template <typename T, bool kProbedAtRandom = false>
struct MappedAllocator {
    using value_type = T;
    template <typename U>
    struct rebind {
        using other = MappedAllocator<U, kProbedAtRandom>;
    };

    MappedAllocator() = default;
    template <typename U>
    MappedAllocator(const MappedAllocator<U, kProbedAtRandom>&) noexcept {}

    T* allocate(size_t count) {
        return static_cast<T*>(detail::allocate_mapped(count * sizeof(T), kProbedAtRandom));
    }
    void deallocate(T* memory, size_t count) noexcept {
        detail::free_mapped(memory, count * sizeof(T));
    }
    friend bool operator==(const MappedAllocator&, const MappedAllocator&) noexcept {
        return true;
    }
};

}  // namespace qvc
