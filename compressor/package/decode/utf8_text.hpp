// A restored file's text as UTF-8 bytes, built straight from its run of token records for the
// worker thread that writes it: no str is made, and the buffers are used again file after file.
#pragma once

#include "compressor/package/decode/token_table.hpp"

#include <cstddef>
#include <memory>

namespace qvc {

// Bytes that stay the owner's; the worker reads them while the owner keeps them unchanged.
struct Utf8Buffer {
    std::unique_ptr<char[]> data;
    size_t capacity = 0;
    size_t size = 0;
};

enum class Utf8Text : uint8_t { kBuilt, kTooLong, kFailed };

// Replaces `out`'s bytes with the UTF-8 form of the tokens of the `count` records at `records`,
// joined with nothing between them, for a table that holds nothing but strs that UTF-8 can
// encode. kTooLong (bytes left unspecified) when the text would pass `limit` bytes; kFailed with
// an exception set when memory runs out or a signal handler raises. Answers signals.
Utf8Text build_utf8_text(const TokenTable& table, const unsigned char* records, Py_ssize_t count,
                         size_t limit, Utf8Buffer& out);

}  // namespace qvc
