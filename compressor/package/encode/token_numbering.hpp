// Every token of one encode_files call as the number of its distinct token: files' UTF-8 text is
// checked, split by the built-in rule and numbered in order of first occurrence into one table
// and one stream, whichever way the text was read (see package/encode/file_reading_worker.hpp
// and package/encode/interpreter_reading.cpp).
#pragma once

#include "compressor/package/encode/token_stream.hpp"
#include "compressor/package/encode/utf8_token_table.hpp"

#include <cstddef>
#include <vector>

namespace qvc {

class TokenNumbering {
public:
    TokenNumbering();
    TokenNumbering(const TokenNumbering&) = delete;
    TokenNumbering& operator=(const TokenNumbering&) = delete;

    // A token's bytes, in the scan buffer or, with its line ends translated, in scratch room.
    struct Span {
        const unsigned char* bytes;
        size_t length;
    };

    // One file's text as it arrives in pieces: the scan resumes where the last piece ended, and
    // the token that may go on in the next piece is kept at the front of the buffer.
    class FileScan {
    public:
        // `translate_line_ends`: CR LF and a lone CR become LF, as reading in text mode does.
        FileScan(TokenNumbering& numbering, bool translate_line_ends)
            : numbering_(numbering), translate_(translate_line_ends) {}

        // Numbers the tokens of the next `length` bytes that are known to be whole; with the
        // `last` piece, every one left. False when the bytes are not strict UTF-8: then nothing
        // of this piece is numbered.
        bool add_piece(const unsigned char* bytes, size_t length, bool last);
        // The file would take the call past the most tokens a package holds: the tokens beyond
        // that were not numbered.
        bool over_limit() const noexcept { return over_limit_; }

    private:
        bool step(size_t end, bool at_end);
        void number_spans();

        TokenNumbering& numbering_;
        const bool translate_;
        size_t kept_ = 0;  // bytes of an unfinished token at the buffer's front
        size_t token_start_ = 0;
        size_t scan_from_ = 0;
        bool started_ = false;
        bool previous_whitespace_ = false;
        bool over_limit_ = false;
    };

    // Numbers `count` tokens that are no built-in split's (an overriding tokenize's list): each
    // gets a number of its own, with no bytes in the table, so that equal ones are not merged.
    void add_unshared(size_t count);

    // Forgets every token from the stream's `tokens` on and every distinct token from
    // `distinct` on.
    void truncate(size_t tokens, size_t distinct);
    // Lets go of what scanning and finding tokens need, once every file is numbered.
    void release_scanning() noexcept;

    Utf8TokenTable& table() noexcept { return table_; }
    TokenStream& stream() noexcept { return stream_; }

private:
    Utf8TokenTable table_;
    TokenStream stream_;
    std::vector<unsigned char> buffer_;
    // FileScan's working room, kept from file to file, so that many small files do not each
    // grow it from nothing again.
    std::vector<Span> spans_;
    std::vector<unsigned char> scratch_;
};

}  // namespace qvc
