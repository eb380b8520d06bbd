#include "compressor/package/encode/token_numbering.hpp"

#include "compressor/package/package_format.hpp"
#include "compressor/tokenize/utf8_scanner.hpp"

#include <algorithm>
#include <cstring>

namespace qvc {
namespace {

// Room beyond the most tokens a package holds: the tables are sized once, and a piece of text is
// numbered before the limit is checked again.
constexpr size_t kPieceRoom = size_t{4} << 20;
// Bytes after the data that the scan and the token keys may read.
constexpr size_t kPadding = 64;
// Tokens numbered at a time, between two checks of the limit.
constexpr size_t kNumberBatch = size_t{1} << 16;

// The text-mode translation of line ends: CR LF and a lone CR become LF. Returns the length
// written to `out`, which has room for `length` bytes.
size_t translate_line_ends(const unsigned char* in, size_t length, unsigned char* out) noexcept {
    size_t written = 0;
    for (size_t i = 0; i < length; ++i) {
        if (in[i] == '\r') {
            out[written++] = '\n';
            if (i + 1 < length && in[i + 1] == '\n') {
                ++i;
            }
        } else {
            out[written++] = in[i];
        }
    }
    return written;
}

struct SpanTokens {
    const TokenNumbering::Span* spans;
    const unsigned char* bytes(size_t i) const noexcept { return spans[i].bytes; }
    size_t length(size_t i) const noexcept { return spans[i].length; }
};

}  // namespace

TokenNumbering::TokenNumbering()
    : table_(kMaxPackageTokens + kPieceRoom), stream_(kMaxPackageTokens + kPieceRoom) {}

bool TokenNumbering::FileScan::add_piece(const unsigned char* bytes, size_t length, bool last) {
    std::vector<unsigned char>& buffer = numbering_.buffer_;
    if (buffer.size() < kept_ + length + kPadding) {
        buffer.resize(kept_ + length + kPadding);
    }
    std::memcpy(buffer.data() + kept_, bytes, length);
    std::memset(buffer.data() + kept_ + length, 0, kPadding);
    const size_t end = kept_ + length;
    if (!step(end, last)) {
        return false;
    }
    if (!last) {
        // The unfinished token moves to the buffer's front.
        kept_ = end - token_start_;
        std::memmove(buffer.data(), buffer.data() + token_start_, kept_);
        scan_from_ -= token_start_;
        token_start_ = 0;
    }
    return true;
}

// Scans buffer[0, end), numbering every token that is known to be whole; at the end of the text,
// the last one too.
bool TokenNumbering::FileScan::step(size_t end, bool at_end) {
    const unsigned char* data = numbering_.buffer_.data();
    const size_t complete = at_end ? end : std::max(scan_from_, utf8_complete_end(data, end));
    if (!started_ && complete > scan_from_) {
        const size_t length = detail::utf8_sequence_length(data[scan_from_]);
        if (length == 0 || length > complete - scan_from_ ||
            (length > 1 && !detail::valid_sequence(data + scan_from_, length))) {
            return false;
        }
        previous_whitespace_ = utf8_is_whitespace(data + scan_from_, length);
        started_ = true;
    }
    const bool translate =
        translate_ && std::memchr(data + token_start_, '\r', complete - token_start_) != nullptr;
    std::vector<unsigned char>& scratch_room = numbering_.scratch_;
    if (translate) {
        scratch_room.resize(complete - token_start_ + kPadding);
    }
    unsigned char* scratch = scratch_room.data();
    std::vector<Span>& spans = numbering_.spans_;
    spans.clear();
    // Each token becomes a span as its end is found; nothing is numbered unless the whole piece
    // is valid.
    size_t token_start = token_start_;
    auto add = [&](size_t stop) {
        const unsigned char* bytes = data + token_start;
        size_t length = stop - token_start;
        if (translate && std::memchr(bytes, '\r', length) != nullptr) {
            const size_t written = translate_line_ends(bytes, length, scratch);
            bytes = scratch;
            length = written;
            scratch += written;
        }
        spans.push_back(Span{bytes, length});
        token_start = stop;
    };
    if (!scan_utf8_cuts(data, scan_from_, complete, previous_whitespace_, add)) {
        return false;
    }
    scan_from_ = complete;
    if (at_end && end > token_start) {
        add(end);
    }
    token_start_ = token_start;
    number_spans();
    return true;
}

void TokenNumbering::FileScan::number_spans() {
    TokenStream& stream = numbering_.stream_;
    Utf8TokenTable& table = numbering_.table_;
    const std::vector<Span>& spans = numbering_.spans_;
    size_t i = 0;
    while (i < spans.size() && !over_limit_) {
        size_t fits;
        uint32_t* out = stream.room(fits);
        const size_t take = std::min({fits, spans.size() - i, kNumberBatch});
        if (stream.size() + take > kMaxPackageTokens) {
            // The rest of the file is still checked: a file that is not UTF-8 fails with the
            // decoding error first.
            over_limit_ = true;
            break;
        }
        table.number_all(SpanTokens{spans.data() + i}, take, out);
        stream.commit(take, table.size());
        i += take;
    }
}

void TokenNumbering::add_unshared(size_t count) {
    while (count > 0) {
        size_t fits;
        uint32_t* out = stream_.room(fits);
        const size_t take = std::min(fits, count);
        for (size_t i = 0; i < take; ++i) {
            out[i] = table_.add_unshared();
        }
        stream_.commit(take, table_.size());
        count -= take;
    }
}

void TokenNumbering::truncate(size_t tokens, size_t distinct) {
    stream_.truncate(tokens);
    table_.truncate(distinct);
}

void TokenNumbering::release_scanning() noexcept {
    table_.release_lookup();
    std::vector<unsigned char>().swap(buffer_);
    std::vector<Span>().swap(spans_);
    std::vector<unsigned char>().swap(scratch_);
}

}  // namespace qvc
