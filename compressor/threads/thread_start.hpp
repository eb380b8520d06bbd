// Starting a thread of ours. The C++ runtime keeps a thread's exception state in thread-local
// storage of a library loaded with the module, and glibc gives such a library its block on a
// thread only when the thread first touches it, ending the process when that allocation fails.
// Our threads catch std::bad_alloc, so without claiming that state first the first allocation
// failure on a thread could also be the moment its exception state is needed and cannot be had.
#pragma once

#include <exception>
#include <utility>

namespace qvc {

inline void claim_exception_state() noexcept {
    (void)std::uncaught_exceptions();
}

// Runs `body` on a new std::thread or std::jthread (a jthread passes its stop token on) and
// stores the thread in `thread`. False when there is no thread to be had: the system refuses
// one, or there is no memory for it.
template <class Thread, class Body>
[[nodiscard]] bool start_thread(Thread& thread, Body body) noexcept {
    try {
        thread = Thread([body = std::move(body)](auto... token) mutable {
            claim_exception_state();
            body(token...);
        });
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

}  // namespace qvc
