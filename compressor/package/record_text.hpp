// One restored file's text, built straight from its run of token records.
#pragma once

#include "compressor/package/token_table.hpp"

#include <memory>

namespace qvc {

struct RecordLookup;  // record_text.cpp

// Builds the texts of one package's files in turn. A text is written straight into its str,
// made with room to spare and then cut to size; a very long one is gathered in a buffer reused
// from file to file, at the widest kind met so far, then copied once into a str of its size.
class RecordTextBuilder {
public:
    // The tokens of `count` records starting at `records`, joined with nothing between them:
    // the same str that `"".join(tokens)` gives. `readable` (at least `count`) is how many
    // records may be read from `records` on. When a token is not a str the interpreter's own
    // join runs over the tokens, so that its error is the one raised. Null with an exception set
    // on failure.
    PyRef join(const TokenTable& table, const unsigned char* records, Py_ssize_t count,
               Py_ssize_t readable) noexcept;

private:
    PyRef gather(const TokenTable& table, const unsigned char* records, Py_ssize_t count,
                 Py_ssize_t readable);
    // A text too long to be written in place.
    PyRef gather_in_buffer(const RecordLookup& lookup);
    // Room for `bytes`, keeping the first `used`.
    void grow(size_t bytes, size_t used);
    void widen(size_t used, int kind, int new_kind);

    std::unique_ptr<unsigned char[]> buffer_;
    size_t capacity_ = 0;
    // Where gathered characters go when the text turns out wider than they were written.
    std::unique_ptr<unsigned char[]> spare_;
    size_t spare_capacity_ = 0;
};

}  // namespace qvc
