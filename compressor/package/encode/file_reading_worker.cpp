#include "compressor/package/encode/file_reading_worker.hpp"

#include "compressor/package/package_format.hpp"
#include "compressor/threads/condition_wait.hpp"
#include "compressor/threads/thread_start.hpp"
#include "compressor/tokenize/utf8_scanner.hpp"

#include <algorithm>
#include <cstring>
#include <new>

namespace qvc {
namespace {

// Room beyond the most tokens a package holds: the tables are sized once, and a piece of text is
// numbered before the limit is checked again.
constexpr size_t kReadBytes = size_t{4} << 20;
// Bytes after the data that the scan and the token keys may read.
constexpr size_t kPadding = 64;
// A file's tokens are numbered this many at a time, between two checks for a stop.
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
    const FileReadingWorker::Span* spans;
    const unsigned char* bytes(size_t i) const noexcept { return spans[i].bytes; }
    size_t length(size_t i) const noexcept { return spans[i].length; }
};

}  // namespace

// One file's text as it arrives in pieces: the scan resumes where the last piece ended, and the
// token that may go on in the next piece is kept at the front of the buffer.
class FileReadingWorker::TextScan {
public:
    explicit TextScan(FileReadingWorker& worker)
        : worker_(worker), spans_(worker.scan_spans_), scratch_(worker.scan_scratch_) {}

    // Scans buffer_[0, end), numbering every token that is known to be whole; at the end of the
    // text, the last one too. False when the bytes are not strict UTF-8.
    bool step(size_t end, bool at_end) {
        const unsigned char* data = worker_.buffer_.data();
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
            std::memchr(data + token_start_, '\r', complete - token_start_) != nullptr;
        if (translate) {
            scratch_.resize(complete - token_start_ + kPadding);
        }
        unsigned char* scratch = scratch_.data();
        spans_.clear();
        // Each token becomes a span as its end is found; nothing is numbered unless the whole
        // piece is valid.
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
            spans_.push_back(Span{bytes, length});
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

    // Moves the unfinished token to the buffer's front; returns its length.
    size_t keep(size_t end) noexcept {
        unsigned char* data = worker_.buffer_.data();
        const size_t length = end - token_start_;
        std::memmove(data, data + token_start_, length);
        scan_from_ -= token_start_;
        token_start_ = 0;
        return length;
    }

    bool over_limit() const noexcept { return over_limit_; }

private:
    void number_spans() {
        TokenStream& stream = worker_.stream_;
        size_t i = 0;
        while (i < spans_.size() && !over_limit_) {
            size_t fits;
            uint32_t* out = stream.room(fits);
            const size_t take = std::min({fits, spans_.size() - i, kNumberBatch});
            if (stream.size() + take > kMaxPackageTokens) {
                // The rest of the file is still checked: a file that is not UTF-8 fails with
                // the decoding error first.
                over_limit_ = true;
                break;
            }
            worker_.table_.number_all(SpanTokens{spans_.data() + i}, take, out);
            stream.commit(take, worker_.table_.size());
            i += take;
        }
    }

    FileReadingWorker& worker_;
    size_t token_start_ = 0;
    size_t scan_from_ = 0;
    bool started_ = false;
    bool previous_whitespace_ = false;
    bool over_limit_ = false;
    // The worker's: kept from file to file, so that many small files do not each grow them
    // from nothing again.
    std::vector<Span>& spans_;
    std::vector<unsigned char>& scratch_;
};

FileReadingWorker::FileReadingWorker()
    : table_(kMaxPackageTokens + kReadBytes), stream_(kMaxPackageTokens + kReadBytes) {}

bool FileReadingWorker::start() {
    return start_thread(thread_, [this] { run(); });
}

void FileReadingWorker::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_.store(true, std::memory_order_relaxed);
    }
    answered_.notify_one();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void FileReadingWorker::grant(bool by_pieces) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        granted_.push_back(by_pieces);
        file_ends_.push_back(0);
        if (!worker_waiting_) {
            return;
        }
    }
    answered_.notify_one();
}

void FileReadingWorker::give_piece(Bytes bytes, bool last) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queued_bytes_ += bytes.length;
        pieces_.push_back(Piece{std::move(bytes), last});
        if (!worker_waiting_) {
            return;
        }
    }
    answered_.notify_one();
}

bool FileReadingWorker::await_grant(size_t file, bool& by_pieces) {
    std::unique_lock<std::mutex> lock(mutex_);
    worker_waiting_ = true;
    wait_until(answered_, lock, [&] { return granted_.size() > file || stopping(); });
    worker_waiting_ = false;
    if (stopping()) {
        return false;
    }
    by_pieces = granted_[file];
    return true;
}

bool FileReadingWorker::take_piece(Piece& piece) {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        worker_waiting_ = true;
        wait_until(answered_, lock, [&] { return !pieces_.empty() || stopping(); });
        worker_waiting_ = false;
        if (stopping()) {
            return false;
        }
        piece = std::move(pieces_.front());
        pieces_.pop_front();
        queued_bytes_ -= piece.bytes.length;
        if (!sleeping_ || !worth_waking()) {
            return true;
        }
    }
    changed_.notify_one();
    return true;
}

FileReadingWorker::Progress FileReadingWorker::progress() {
    std::lock_guard<std::mutex> lock(mutex_);
    return Progress{files_numbered_, next_state_, distinct_published_, rollback_,
                    tokens_published_, queued_bytes_};
}

bool FileReadingWorker::worth_waking() const noexcept {
    return files_numbered_ >= wake_files_ || distinct_published_ >= wake_distinct_ ||
           queued_bytes_ < wake_queued_ || next_state_ != FileState::kWaiting;
}

void FileReadingWorker::wait(size_t files, size_t distinct, size_t queued_bytes,
                             std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_files_ = files;
    wake_distinct_ = distinct;
    wake_queued_ = queued_bytes;
    sleeping_ = true;
    changed_.wait_for(lock, timeout, [this] { return worth_waking(); });
    sleeping_ = false;
}

void FileReadingWorker::number_text(const char* utf8, size_t length) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        given_text_ = utf8;
        given_length_ = length;
        given_ = true;
    }
    answered_.notify_one();
}

void FileReadingWorker::publish(size_t files_numbered, FileState next_state, size_t rollback) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        files_numbered_ = files_numbered;
        next_state_ = next_state;
        distinct_published_ = next_state == FileState::kForInterpreter ? rollback : table_.size();
        tokens_published_ = stream_.size();
        rollback_ = rollback;
        if (!sleeping_ || !worth_waking()) {
            return;
        }
    }
    changed_.notify_one();
}

void FileReadingWorker::publish_distinct() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        distinct_published_ = table_.size();
        tokens_published_ = stream_.size();
        if (!sleeping_ || !worth_waking()) {
            return;
        }
    }
    changed_.notify_one();
}

void FileReadingWorker::run() {
    for (size_t file = 0;; ++file) {
        bool by_pieces = false;
        if (!await_grant(file, by_pieces)) {
            return;
        }
        const size_t tokens_before = stream_.size();
        const size_t distinct_before = table_.size();
        Outcome outcome;
        try {
            TextScan scan(*this);
            outcome = by_pieces ? number_pieces(scan) : Outcome::kForInterpreter;
            if (stopping()) {
                return;
            }
            if (outcome == Outcome::kForInterpreter) {
                stream_.truncate(tokens_before);
                publish(file, FileState::kForInterpreter, distinct_before);
                {
                    std::unique_lock<std::mutex> lock(mutex_);
                    wait_until(answered_, lock, [this] { return given_ || stopping(); });
                    if (stopping()) {
                        return;
                    }
                    given_ = false;
                }
                table_.truncate(distinct_before);
                outcome = number_given_text();
            }
        } catch (const std::bad_alloc&) {
            publish(file, FileState::kOutOfMemory, 0);
            return;
        }
        if (outcome != Outcome::kNumbered) {
            // A text the interpreter read is always UTF-8; a failure here means memory.
            publish(file, outcome == Outcome::kTooManyTokens ? FileState::kTooManyTokens
                                                             : FileState::kOutOfMemory,
                    0);
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            file_ends_[file] = stream_.size();
        }
        publish(file + 1, FileState::kWaiting, 0);
    }
}

void FileReadingWorker::release_scanning() noexcept {
    // The interpreter's thread, still making strs from the tokens' bytes, needs nothing else of
    // the worker's once every file is numbered.
    table_.release_lookup();
    std::vector<unsigned char>().swap(buffer_);
    std::vector<Span>().swap(scan_spans_);
    std::vector<unsigned char>().swap(scan_scratch_);
}

FileReadingWorker::Outcome FileReadingWorker::number_pieces(TextScan& scan) {
    size_t kept = 0;
    bool valid = true;
    for (;;) {
        Piece piece;
        if (!take_piece(piece)) {
            return Outcome::kForInterpreter;
        }
        if (valid) {
            const size_t length = piece.bytes.length;
            if (buffer_.size() < kept + length + kPadding) {
                buffer_.resize(kept + length + kPadding);
            }
            std::memcpy(buffer_.data() + kept, piece.bytes.data.get(), length);
            std::memset(buffer_.data() + kept + length, 0, kPadding);
            valid = scan.step(kept + length, piece.last);
            if (valid && !piece.last) {
                kept = scan.keep(kept + length);
                publish_distinct();
            }
        }
        // Past an invalid piece the rest of the file is only taken off the queue.
        if (piece.last) {
            break;
        }
    }
    if (!valid) {
        return Outcome::kForInterpreter;
    }
    return scan.over_limit() ? Outcome::kTooManyTokens : Outcome::kNumbered;
}

FileReadingWorker::Outcome FileReadingWorker::number_given_text() {
    buffer_.resize(std::max(buffer_.size(), given_length_ + kPadding));
    std::memcpy(buffer_.data(), given_text_, given_length_);
    std::memset(buffer_.data() + given_length_, 0, kPadding);
    TextScan scan(*this);
    if (!scan.step(given_length_, true)) {
        return Outcome::kForInterpreter;
    }
    return scan.over_limit() ? Outcome::kTooManyTokens : Outcome::kNumbered;
}

}  // namespace qvc
