#include "compressor/package/encode/file_reading_worker.hpp"

#include "compressor/threads/condition_wait.hpp"
#include "compressor/threads/thread_start.hpp"

#include <new>

namespace qvc {

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
        distinct_published_ =
            next_state == FileState::kForInterpreter ? rollback : numbering_.table().size();
        tokens_published_ = numbering_.stream().size();
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
        distinct_published_ = numbering_.table().size();
        tokens_published_ = numbering_.stream().size();
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
        const size_t tokens_before = numbering_.stream().size();
        const size_t distinct_before = numbering_.table().size();
        Outcome outcome;
        try {
            outcome = by_pieces ? number_pieces() : Outcome::kForInterpreter;
            if (stopping()) {
                return;
            }
            if (outcome == Outcome::kForInterpreter) {
                numbering_.truncate(tokens_before, numbering_.table().size());
                publish(file, FileState::kForInterpreter, distinct_before);
                {
                    std::unique_lock<std::mutex> lock(mutex_);
                    wait_until(answered_, lock, [this] { return given_ || stopping(); });
                    if (stopping()) {
                        return;
                    }
                    given_ = false;
                }
                numbering_.truncate(tokens_before, distinct_before);
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
            file_ends_[file] = numbering_.stream().size();
        }
        publish(file + 1, FileState::kWaiting, 0);
    }
}

FileReadingWorker::Outcome FileReadingWorker::number_pieces() {
    // The worker's bytes come from the file itself, so line ends are translated as text mode
    // does.
    TokenNumbering::FileScan scan(numbering_, true);
    bool valid = true;
    for (;;) {
        Piece piece;
        if (!take_piece(piece)) {
            return Outcome::kForInterpreter;
        }
        if (valid) {
            valid = scan.add_piece(piece.bytes.data.get(), piece.bytes.length, piece.last);
            if (valid && !piece.last) {
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
    // The interpreter's text mode has translated its line ends already.
    TokenNumbering::FileScan scan(numbering_, false);
    if (!scan.add_piece(reinterpret_cast<const unsigned char*>(given_text_), given_length_,
                        true)) {
        return Outcome::kForInterpreter;
    }
    return scan.over_limit() ? Outcome::kTooManyTokens : Outcome::kNumbered;
}

}  // namespace qvc
