#include "compressor/tokenize/span_hash.hpp"

#include <chrono>
#include <random>

namespace qvc {

uint64_t process_hash_seed() noexcept {
    static const uint64_t seed = [] {
        uint64_t value = static_cast<uint64_t>(
            std::chrono::steady_clock::now().time_since_epoch().count());
        try {
            std::random_device device;
            value ^= (static_cast<uint64_t>(device()) << 32) | device();
        } catch (...) {
            // The clock alone still varies the seed from run to run.
        }
        return mix64(value);
    }();
    return seed;
}

}  // namespace qvc
