#include "compressor/plan/fast_path_switches.hpp"

#ifdef QVC_FAST_PATH_SWITCHES
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qvc {
namespace {

const char* switch_name(FastPath path) noexcept {
    switch (path) {
        case FastPath::kNativeReading: return "native_reading";
        case FastPath::kOwnPickler: return "own_pickler";
        case FastPath::kWritingThread: return "writing_thread";
    }
    return "";
}

}  // namespace

bool fast_path_on(FastPath path) noexcept {
    const char* off = std::getenv("QVC_FAST_PATHS_OFF");
    if (off == nullptr) {
        return true;
    }
    const char* name = switch_name(path);
    const size_t length = std::strlen(name);
    for (const char* at = off; (at = std::strstr(at, name)) != nullptr; at += length) {
        const bool starts = at == off || at[-1] == ',';
        const bool ends = at[length] == '\0' || at[length] == ',';
        if (starts && ends) {
            return false;
        }
    }
    return true;
}

void trace_plan(const std::string& line) noexcept {
    const char* path = std::getenv("QVC_PLAN_TRACE");
    if (path == nullptr) {
        return;
    }
    if (std::FILE* file = std::fopen(path, "a")) {
        std::fprintf(file, "%s\n", line.c_str());
        std::fclose(file);
    }
}

}  // namespace qvc
#endif
