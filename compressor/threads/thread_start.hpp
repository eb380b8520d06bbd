// What each thread of ours does first. The C++ runtime keeps a thread's exception state in
// thread-local storage of a library loaded with the module, and glibc gives such a library its
// block on a thread only when the thread first touches it, ending the process when that
// allocation fails. Our threads catch std::bad_alloc, so without this the first allocation
// failure on a thread could also be the moment its exception state is needed and cannot be had.
#pragma once

#include <exception>

namespace qvc {

inline void claim_exception_state() noexcept {
    (void)std::uncaught_exceptions();
}

}  // namespace qvc
