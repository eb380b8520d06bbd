// Letting long native loops answer signals (Ctrl-C) while they hold the interpreter.
#pragma once

#include "compressor/pyapi/py_ref.hpp"

#include <cstddef>

namespace qvc {

// Counts a loop's work and, every `units_between_checks` units, runs the interpreter's pending
// signal handlers. A handler that raises (KeyboardInterrupt) makes tick() return false with that
// exception set, and the loop fails there as it would at any error. Handlers and the garbage
// collector they share the call with run interpreter code, so a loop that ticks must hold its
// own references to what it works on. Only the thread that holds the interpreter may tick.
class SignalPoll {
public:
    explicit SignalPoll(size_t units_between_checks) noexcept
        : interval_(units_between_checks), left_(units_between_checks) {}

    bool tick(size_t units = 1) noexcept {
        if (units < left_) {
            left_ -= units;
            return true;
        }
        return check();
    }

    // Runs the pending handlers now.
    bool check() noexcept {
        left_ = interval_;
        return PyErr_CheckSignals() == 0;
    }

private:
    size_t interval_;
    size_t left_;
};

// Work sizes between checks for the module's loops, each a millisecond or less on a slow core.
inline constexpr size_t kCodePointsBetweenChecks = size_t{1} << 20;
inline constexpr size_t kTokensBetweenChecks = size_t{1} << 15;
inline constexpr size_t kBytesBetweenChecks = size_t{1} << 22;

}  // namespace qvc
