// Waiting on a condition variable without a deadline. The C++ runtime's untimed
// condition_variable::wait is a symbol that GCC 12 versioned anew (GLIBCXX_3.4.30), and linking
// it would hold the module to GCC 12's runtime and, through the wheels' tag, to glibc 2.35. A
// timed wait is inline and compiles to pthread_cond_clockwait, which glibc has had since 2.30.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace qvc {

template <class Predicate>
void wait_until(std::condition_variable& condition, std::unique_lock<std::mutex>& lock,
                Predicate done) {
    while (!condition.wait_for(lock, std::chrono::hours(1), done)) {
    }
}

}  // namespace qvc
