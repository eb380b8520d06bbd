#include "compressor/package/encode/mapped_allocator.hpp"

#include <cstdint>
#include <cstdlib>
#include <new>
#include <sys/mman.h>

namespace qvc::detail {
namespace {

// Below this, a mapping's page-granular size and system calls cost more than they save.
constexpr size_t kMappedFrom = size_t{256} << 10;
constexpr size_t kHugePage = size_t{2} << 20;

}  // namespace

void* allocate_mapped(size_t bytes, bool probed_at_random) {
    if (bytes < kMappedFrom) {
        void* memory = std::malloc(bytes == 0 ? 1 : bytes);
        if (memory == nullptr) {
            throw std::bad_alloc();
        }
        return memory;
    }
    void* memory =
        mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        throw std::bad_alloc();
    }
#if defined(MADV_HUGEPAGE)
    if (probed_at_random && bytes >= kHugePage) {
        madvise(memory, bytes, MADV_HUGEPAGE);  // a hint: refused, the table still works
    }
#else
    (void)probed_at_random;
#endif
    return memory;
}

void free_mapped(void* memory, size_t bytes) noexcept {
    if (memory == nullptr) {
        return;
    }
    if (bytes < kMappedFrom) {
        std::free(memory);
    } else {
        munmap(memory, bytes);
    }
}

}  // namespace qvc::detail
