// A restored file's text as UTF-8 bytes, built straight from its run of token records: the
// worker thread writes these bytes as they are, the interpreter's thread makes a str of them.
// No str is made per token, and the buffers are used again file after file.
#pragma once

#include "compressor/package/decode/token_table.hpp"

#include <cstddef>
#include <cstdlib>
#include <memory>

namespace qvc {

struct FreeMemory {
    void operator()(char* data) const noexcept { std::free(data); }
};

// Bytes that stay the owner's; the worker reads them while the owner keeps them unchanged.
// Held with malloc, so that a large buffer grows in place where the system can remap it.
struct Utf8Buffer {
    std::unique_ptr<char[], FreeMemory> data;
    size_t capacity = 0;
    size_t size = 0;
};

// Replaces `out`'s bytes with the UTF-8 form of the tokens of the first `taken` of the `count`
// records at `records`, joined with nothing between them. Records are taken while the text's
// str would stay within `limit` bytes of storage (its characters at the widest kind among
// them), give or take a batch of short ASCII tokens copied without a check of their own; `taken`
// is 0 only when the first token alone passes `limit`. False with an exception set when memory
// runs out or a signal handler raises. Answers signals.
bool build_utf8_text(const TokenTable& table, const unsigned char* records, Py_ssize_t count,
                     size_t limit, Utf8Buffer& out, Py_ssize_t& taken);

}  // namespace qvc
