// The token rule: a token is a maximal run of whitespace or of non-whitespace code points, where
// whitespace is the class the interpreter's regular expressions call `\s` for str patterns (the
// 29 code points of Unicode category Zs or bidirectional class WS, B or S). Scanning works on
// the string's own storage (1, 2 or 4 bytes a code point) without creating any object.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace qvc {

namespace detail {

constexpr std::array<bool, 256> make_latin1_whitespace_table() {
    std::array<bool, 256> table{};
    for (uint32_t cp = 0x09; cp <= 0x0D; ++cp) {
        table[cp] = true;  // tab, line feed, line tabulation, form feed, carriage return
    }
    for (uint32_t cp = 0x1C; cp <= 0x1F; ++cp) {
        table[cp] = true;  // information separators four to one
    }
    table[0x20] = true;  // space
    table[0x85] = true;  // next line
    table[0xA0] = true;  // no-break space
    return table;
}

inline constexpr std::array<bool, 256> kLatin1Whitespace = make_latin1_whitespace_table();

}  // namespace detail

constexpr bool is_whitespace(uint32_t cp) noexcept {
    if (cp < 0x100) {
        return detail::kLatin1Whitespace[cp];
    }
    if (cp < 0x1680) {
        return false;
    }
    return cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 ||
           cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

// End of the run of code points of `data[start]`'s class that begins at `start`.
template <typename Char>
inline size_t run_end(const Char* data, size_t start, size_t length) noexcept {
    const bool whitespace = is_whitespace(data[start]);
    size_t i = start + 1;
    while (i < length && is_whitespace(data[i]) == whitespace) {
        ++i;
    }
    return i;
}

// Calls on_token(start, end) for every token of data[0, length), in order. `on_token` returns
// false to stop the scan early; scan_tokens then returns false too.
template <typename Char, typename OnToken>
inline bool scan_tokens(const Char* data, size_t length, OnToken&& on_token) {
    size_t start = 0;
    while (start < length) {
        size_t end = run_end(data, start, length);
        if (!on_token(start, end)) {
            return false;
        }
        start = end;
    }
    return true;
}

// Number of tokens of data[0, length).
template <typename Char>
inline size_t count_tokens(const Char* data, size_t length) noexcept {
    if (length == 0) {
        return 0;
    }
    size_t changes = 0;
    bool previous = is_whitespace(data[0]);
    for (size_t i = 1; i < length; ++i) {
        bool current = is_whitespace(data[i]);
        changes += current != previous;
        previous = current;
    }
    return changes + 1;
}

}  // namespace qvc
