// The package's token stream turned back into tokens: entry i is the token of record i, through
// the object's `inverse_dict`, or "<UNK>" for an id it lacks.
#pragma once

#include "compressor/compressor_object.hpp"
#include "compressor/package/decode/token_table.hpp"
#include "compressor/package/decode/utf8_text.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace qvc {

// Where a restored file's text goes, in one piece or in several.
class TextSink {
public:
    // Returns false with an exception set on failure.
    virtual bool write(PyObject* text) = 0;

protected:
    ~TextSink() = default;
};

class RestoredTokens {
public:
    // Decodes every whole 4-byte record of `data` before anything is written, so that a bad
    // record (a value of 2^31 or more: OverflowError) stops the call before the output
    // directory exists. A byte string read through an `inverse_dict` that the decoder's own
    // table can stand for (see TokenTable::build) goes through that table; any other stream
    // or mapping is read item by item and looked up with the mapping's `get`, as the
    // interpreter would.
    static bool decode(ModuleState* st, CompressorObject* self, PyObject* data,
                       RestoredTokens& out);

    // "".join(restored_tokens[start:stop]) handed to `sink`, the bounds taken as list slicing
    // takes them. A few records of a package can stand for gigabytes of text, so only a text of
    // up to kPieceBytes of str storage goes out whole, in one write; a longer one goes out in
    // consecutive pieces of about that size, a token longer than a piece split between several.
    // Every token of the slice is known to be a str that UTF-8 can encode before the first piece
    // is written, so a token that is not fails with the join's TypeError, or one with a lone
    // surrogate with the encoder's UnicodeEncodeError (its position counted within that token),
    // and leaves nothing written, as one write of the whole text would. Signals are answered
    // between pieces; an interrupted text stays as far as it was written.
    bool write_slice(Py_ssize_t start, Py_ssize_t stop, TextSink& sink);

    // Whether the tokens are read through the decoder's table, which holds nothing but strs
    // that UTF-8 can encode: only running out of memory or a signal can make building a text
    // fail, and utf8_text() can build every text.
    bool has_table() const noexcept { return table_.has_value(); }

    // The UTF-8 bytes of "".join(restored_tokens[start:stop]) in `out`, for a text whose str
    // takes at most `limit` bytes of storage (see build_utf8_text); `whole` false when it is
    // longer. Only with has_table(). False with an exception set on failure.
    bool utf8_text(Py_ssize_t start, Py_ssize_t stop, size_t limit, Utf8Buffer& out,
                   bool& whole);

    // 16 MiB: a write this large costs no more per byte than one of the whole text would, and
    // the decoder then needs a few times this much for a file of any length.
    static constexpr size_t kPieceBytes = size_t{1} << 24;

private:
    bool write_records(Py_ssize_t start, Py_ssize_t length, TextSink& sink);
    bool write_list_items(Py_ssize_t start, Py_ssize_t length, TextSink& sink);

    Py_ssize_t count_ = 0;
    // Table-backed: records are decoded where a file's text is built; looking a record up in
    // the table has no effect that could tell the difference.
    PyRef records_;  // bytes
    std::optional<TokenTable> table_;
    Utf8Buffer piece_;  // a text written through the interpreter, as UTF-8 until made a str
    // Otherwise the tokens themselves, one list entry per record.
    PyRef tokens_;
};

}  // namespace qvc
