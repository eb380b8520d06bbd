#include "compressor/package/encode/file_reading_worker.hpp"

#include "compressor/package/package_format.hpp"
#include "compressor/plan/fast_path_switches.hpp"
#include "compressor/threads/condition_wait.hpp"
#include "compressor/threads/thread_start.hpp"
#include "compressor/tokenize/utf8_scanner.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace qvc {
namespace {

// Bytes read at a time: large enough that a read costs little per byte, small enough that a
// file's text is never held whole.
constexpr size_t kReadBytes = size_t{4} << 20;
constexpr size_t kLeastReadBytes = size_t{64} << 10;
// Bytes after the data that the scan and the token keys may read.
constexpr size_t kPadding = 64;
// A file's tokens are numbered this many at a time, between two checks for a stop.
constexpr size_t kNumberBatch = size_t{1} << 16;

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

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
    // `counting`: the tokens are only counted, not numbered.
    TextScan(FileReadingWorker& worker, bool counting)
        : worker_(worker),
          counting_(counting),
          spans_(worker.scan_spans_),
          scratch_(worker.scan_scratch_) {}

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
        if (counting_) {
            size_t cuts = 0;
            size_t last_cut = token_start_;
            if (!scan_utf8_cuts(data, scan_from_, complete, previous_whitespace_,
                                [&](size_t cut) {
                                    ++cuts;
                                    last_cut = cut;
                                })) {
                return false;
            }
            scan_from_ = complete;
            counted_ += cuts + (at_end && end > last_cut ? 1 : 0);
            token_start_ = at_end ? end : last_cut;
            return true;
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
    size_t counted() const noexcept { return counted_; }
    bool counting() const noexcept { return counting_; }

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
    const bool counting_;
    size_t counted_ = 0;
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

void FileReadingWorker::grant(std::string fs_path, bool count_first) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (granted_.empty()) {
            count_first_ = count_first;
        }
        granted_.push_back(std::move(fs_path));
        file_ends_.push_back(0);
        if (!worker_waiting_) {
            return;
        }
    }
    answered_.notify_one();
}

bool FileReadingWorker::await_grant(size_t file, std::string& fs_path, bool& count_first) {
    std::unique_lock<std::mutex> lock(mutex_);
    worker_waiting_ = true;
    wait_until(answered_, lock, [&] { return granted_.size() > file || stopping(); });
    worker_waiting_ = false;
    if (stopping()) {
        return false;
    }
    fs_path = granted_[file];
    count_first = file == 0 && count_first_;
    return true;
}

FileReadingWorker::Progress FileReadingWorker::progress() {
    std::lock_guard<std::mutex> lock(mutex_);
    return Progress{files_read_, files_numbered_, next_state_, distinct_published_, rollback_,
                    version_, tokens_published_, total_tokens_, open_error_};
}

bool FileReadingWorker::worth_waking() const noexcept {
    return files_read_ >= wake_read_ || files_numbered_ >= wake_numbered_ ||
           distinct_published_ >= wake_distinct_ ||
           next_state_ != FileState::kWaiting;
}

void FileReadingWorker::wait(size_t files_read, size_t files_numbered, size_t distinct,
                             std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_read_ = files_read;
    wake_numbered_ = files_numbered;
    wake_distinct_ = distinct;
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
        files_read_ = std::max(files_read_, files_numbered);
        next_state_ = next_state;
        distinct_published_ = next_state == FileState::kForInterpreter ? rollback : table_.size();
        tokens_published_ = stream_.size();
        rollback_ = rollback;
        ++version_;
        if (!sleeping_ || !worth_waking()) {
            return;
        }
    }
    changed_.notify_one();
}

void FileReadingWorker::publish_read() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        files_read_ = reading_file_ + 1;
        ++version_;
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
        ++version_;
        if (!sleeping_ || !worth_waking()) {
            return;
        }
    }
    changed_.notify_one();
}

size_t FileReadingWorker::count_tokens(const std::string& fs_path) {
    // Reading the file twice pays where it is long: compressing the stream then overlaps most of
    // the numbering.
    if (!fast_path_on(FastPath::kEarlyCompression)) {
        return kUnknownTotal;
    }
    TextScan scan(*this, true);
    if (read_file(fs_path, scan) != Outcome::kNumbered || scan.counted() > kMaxPackageTokens) {
        return kUnknownTotal;
    }
    return scan.counted();
}

void FileReadingWorker::run() {
    for (size_t file = 0;; ++file) {
        std::string fs_path;
        bool count_first = false;
        if (!await_grant(file, fs_path, count_first)) {
            return;
        }
        if (count_first) {
            size_t total = kUnknownTotal;
            try {
                total = count_tokens(fs_path);
            } catch (const std::bad_alloc&) {
                // Counted or not, the file is numbered next; memory runs out there too, if it does.
            }
            std::lock_guard<std::mutex> lock(mutex_);
            total_tokens_ = total;
            ++version_;
        }
        reading_file_ = file;
        const size_t tokens_before = stream_.size();
        const size_t distinct_before = table_.size();
        Outcome outcome;
        try {
            TextScan scan(*this, false);
            outcome = fs_path.empty() ? Outcome::kForInterpreter : read_file(fs_path, scan);
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
                          : outcome == Outcome::kOpenFailed  ? FileState::kOpenFailed
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

FileReadingWorker::Outcome FileReadingWorker::read_file(const std::string& fs_path,
                                                        TextScan& scan) {
    // Not blocking: should the path have become a pipe meanwhile, the interpreter's own open
    // is the one to wait for it.
    FileDescriptor fd(::open(fs_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat info;
    if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0) {
        const int error = errno;
        std::lock_guard<std::mutex> lock(mutex_);
        open_error_ = error;
        return Outcome::kOpenFailed;
    }
    if (S_ISDIR(info.st_mode)) {
        std::lock_guard<std::mutex> lock(mutex_);
        open_error_ = EISDIR;  // as the interpreter's open reports a directory
        return Outcome::kOpenFailed;
    }
    if (!S_ISREG(info.st_mode)) {
        return Outcome::kForInterpreter;
    }
    // A file smaller than a read is read with room for its size (and the end of file), so
    // that small files never make the buffer as large as a whole read.
    const size_t read_bytes = std::clamp(static_cast<size_t>(info.st_size) + 1, kLeastReadBytes,
                                         kReadBytes);
    size_t kept = 0;
    for (;;) {
        if (stopping()) {
            return Outcome::kForInterpreter;
        }
        // A token longer than a read is read on in steps as long as itself, so that moving it
        // to the front costs no more than reading it.
        const size_t wanted = std::max(read_bytes, kept);
        if (buffer_.size() < kept + wanted + kPadding) {
            buffer_.resize(kept + wanted + kPadding);
        }
        // Read on until the piece is full or the file ends, so that the end is known before the
        // last piece is scanned: the next file's event need not wait for that scan.
        size_t filled = 0;
        bool at_end = false;
        while (filled < wanted) {
            const ssize_t got = ::read(fd.get(), buffer_.data() + kept + filled, wanted - filled);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got < 0) {
                return Outcome::kForInterpreter;
            }
            if (got == 0) {
                at_end = true;
                break;
            }
            filled += static_cast<size_t>(got);
        }
        const size_t end = kept + filled;
        std::memset(buffer_.data() + end, 0, kPadding);
        if (at_end && !scan.counting()) {
            publish_read();
        }
        if (!scan.step(end, at_end)) {
            return Outcome::kForInterpreter;
        }
        if (at_end) {
            break;
        }
        kept = scan.keep(end);
        if (!scan.counting()) {
            publish_distinct();
        }
    }
    return scan.over_limit() ? Outcome::kTooManyTokens : Outcome::kNumbered;
}

FileReadingWorker::Outcome FileReadingWorker::number_given_text() {
    buffer_.resize(std::max(buffer_.size(), given_length_ + kPadding));
    std::memcpy(buffer_.data(), given_text_, given_length_);
    std::memset(buffer_.data() + given_length_, 0, kPadding);
    TextScan scan(*this, false);
    if (!scan.step(given_length_, true)) {
        return Outcome::kForInterpreter;
    }
    return scan.over_limit() ? Outcome::kTooManyTokens : Outcome::kNumbered;
}

}  // namespace qvc
