// Switches that turn single fast paths off, so that a benchmark can measure what each one buys
// alone. Only a build configured with QVC_FAST_PATH_SWITCHES reads them, from the environment
// variable QVC_FAST_PATHS_OFF (names separated by commas, e.g. "native_reading,writing_thread");
// every other build answers "on" at compile time and reads no environment. The same builds can
// append each call's chosen plan to the file named by QVC_PLAN_TRACE, one line a call, so that
// tests can tell which plan ran.
#pragma once

#include <string>

namespace qvc {

enum class FastPath {
    kNativeReading,     // encoder: files read, checked and split on a worker thread
    kOwnPickler,        // encoder: the package's pickle written by our own code on a thread
    kWritingThread,     // decoder: files written by a worker thread
};

#ifdef QVC_FAST_PATH_SWITCHES
bool fast_path_on(FastPath path) noexcept;
void trace_plan(const std::string& line) noexcept;
#else
constexpr bool fast_path_on(FastPath) noexcept { return true; }
inline void trace_plan(const std::string&) noexcept {}
#endif

}  // namespace qvc
