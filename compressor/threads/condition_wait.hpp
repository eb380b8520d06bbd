// Waiting on a condition variable without a deadline. The C++ runtime's untimed
// condition_variable::wait is a symbol that GCC 12 versioned anew (GLIBCXX_3.4.30), and linking
// it would hold the module to GCC 12's runtime and, through the wheels' tag, to glibc 2.35. A
// timed wait is inline and compiles to pthread_cond_clockwait, which glibc has had since 2.30.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace qvc {

// Spins for a short while (some tens of microseconds) until `counter` differs from `seen`;
// whether it does. Two threads that hand work to each other file by file answer each other this
// way without the cost of a sleep and a wake-up each time.
inline bool spin_until_changed(const std::atomic<uint64_t>& counter, uint64_t seen) noexcept {
    for (int spin = 0; spin < 4096; ++spin) {
        if (counter.load(std::memory_order_acquire) != seen) {
            return true;
        }
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
    return false;
}

template <class Predicate>
void wait_until(std::condition_variable& condition, std::unique_lock<std::mutex>& lock,
                Predicate done) {
    while (!condition.wait_for(lock, std::chrono::hours(1), done)) {
    }
}

}  // namespace qvc
