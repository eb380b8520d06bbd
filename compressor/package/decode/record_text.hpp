// One restored file's text, built straight from its run of token records.
#pragma once

#include "compressor/package/decode/token_table.hpp"

#include <memory>

namespace qvc {

struct RecordLookup;  // record_text.cpp

// Builds the texts of one package's files in turn, each in one piece or several. A text is
// written straight into its str, made with room to spare and then cut to size; one of very many
// records is gathered in a buffer reused from piece to piece, at the widest kind met so far,
// then copied once into a str of its size.
class RecordTextBuilder {
public:
    // The tokens of the first `taken` of the `count` records starting at `records`, joined with
    // nothing between them: the same str that `"".join(tokens)` gives. Records are taken while
    // the text stays within `limit` bytes of str storage, give or take the short tokens copied
    // without a check of their own (a batch of them, or for a text written in place, at most
    // the room kept for all its records), and never past a token held as an object (not a str,
    // or one too long for a slot). `taken` is 0 only when the first record is such a token or
    // one longer than `limit` on its own: writing it is the caller's business. `readable` (at
    // least `count`) is how many records may be read from `records` on. Null with an exception
    // set on failure.
    PyRef join(const TokenTable& table, const unsigned char* records, Py_ssize_t count,
               Py_ssize_t readable, size_t limit, Py_ssize_t& taken) noexcept;

private:
    PyRef gather(const TokenTable& table, const unsigned char* records, Py_ssize_t count,
                 Py_ssize_t readable, size_t limit, Py_ssize_t& taken);
    // A text of more records than can be written in place.
    PyRef gather_in_buffer(const RecordLookup& lookup, size_t limit, Py_ssize_t& taken);
    // Room for `bytes`, keeping the first `used`; doubling the room stops at `most`.
    void grow(size_t bytes, size_t used, size_t most);
    void widen(size_t used, int kind, int new_kind, size_t most);

    std::unique_ptr<unsigned char[]> buffer_;
    size_t capacity_ = 0;
    // Where gathered characters go when the text turns out wider than they were written.
    std::unique_ptr<unsigned char[]> spare_;
    size_t spare_capacity_ = 0;
};

}  // namespace qvc
