#include "compressor/package/decode/file_writing_worker.hpp"

#include "compressor/threads/condition_wait.hpp"
#include "compressor/threads/thread_start.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace qvc {
namespace {

// Bytes written between two looks at a stop request: a millisecond or so into the page cache.
constexpr size_t kWriteBytes = size_t{1} << 20;
// An idle worker is woken for this many files, or this much text, or when the interpreter's
// thread waits.
constexpr size_t kFilesPerWake = 16;
constexpr size_t kBytesPerWake = size_t{1} << 20;
// How long one wait for a FIFO's reader, or for room in a FIFO or device, lasts.
constexpr int kWaitMilliseconds = 2;

// The flags the interpreter's `open` uses for mode "w", plus those of the decoder's opener.
// O_NONBLOCK keeps the opening of a FIFO from waiting for a reader, and a write to a full one
// from waiting for room, where no stop request could be seen; a regular file ignores it.
constexpr int kOpenFlags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;

bool is_fifo(const char* path) noexcept {
    struct stat info;
    return lstat(path, &info) == 0 && S_ISFIFO(info.st_mode);
}

bool is_link(const char* path) noexcept {
    struct stat info;
    return lstat(path, &info) == 0 && S_ISLNK(info.st_mode);
}

void wait_until_writable(int fd) noexcept {
    pollfd entry{fd, POLLOUT, 0};
    poll(&entry, 1, kWaitMilliseconds);
}

}  // namespace

bool FileWritingWorker::start() {
    return start_thread(thread_, [this] { run(); });
}

void FileWritingWorker::stop() noexcept {
    if (!thread_.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_.store(true, std::memory_order_relaxed);
    }
    work_ready_.notify_all();
    thread_.join();
}

void FileWritingWorker::add(FileWriteJob job) {
    bool wake;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        unannounced_bytes_ += job.length;
        ++unannounced_files_;
        jobs_.push_back(std::move(job));
        wake = idle_ &&
               (unannounced_files_ >= kFilesPerWake || unannounced_bytes_ >= kBytesPerWake);
    }
    if (wake) {
        work_ready_.notify_one();
    }
}

FileWritingWorker::Progress FileWritingWorker::progress() {
    std::lock_guard<std::mutex> lock(mutex_);
    return {written_, next_state_, error_, through_link_};
}

void FileWritingWorker::wait(size_t jobs, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (idle_) {
        work_ready_.notify_one();
    }
    progress_made_.wait_for(lock, timeout, [&] {
        return written_ >= jobs || next_state_ != FileWriteState::kPending;
    });
}

void FileWritingWorker::run() noexcept {
    // Signals go to the interpreter's thread, whose waits they are meant to interrupt.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
        idle_ = true;
        wait_until(work_ready_, lock, [&] {
            return stopping_.load(std::memory_order_relaxed) ||
                   (next_state_ == FileWriteState::kPending && written_ < jobs_.size());
        });
        idle_ = false;
        unannounced_files_ = 0;
        unannounced_bytes_ = 0;
        if (stopping_.load(std::memory_order_relaxed)) {
            return;
        }
        const FileWriteJob& job = jobs_[written_];
        lock.unlock();
        int error = 0;
        bool through_link = false;
        const FileWriteState state = write_file(job, error, through_link);
        lock.lock();
        if (state == FileWriteState::kWritten) {
            ++written_;
        } else {
            next_state_ = state;
            error_ = error;
            through_link_ = through_link;
        }
        progress_made_.notify_all();
    }
}

FileWriteState FileWritingWorker::write_file(const FileWriteJob& job, int& error,
                                             bool& through_link) noexcept {
    const char* path = job.fs_path.c_str();
    int fd;
    while ((fd = ::open(path, kOpenFlags, 0666)) < 0) {
        if (errno == EINTR) {
            continue;
        }
        error = errno;
        if (error != ENXIO || !is_fifo(path)) {
            through_link = error == ELOOP && is_link(path);
            return FileWriteState::kOpenFailed;
        }
        // A FIFO without a reader: the interpreter's open would wait for one. A stop leaves
        // the file as that open, interrupted, would: untouched.
        if (stopping_.load(std::memory_order_relaxed)) {
            return FileWriteState::kWritten;
        }
        usleep(kWaitMilliseconds * 1000);
    }
    size_t at = 0;
    while (at < job.length && !stopping_.load(std::memory_order_relaxed)) {
        const ssize_t n = ::write(fd, job.text + at, std::min(kWriteBytes, job.length - at));
        if (n >= 0) {
            at += static_cast<size_t>(n);
        } else if (errno == EAGAIN) {
            wait_until_writable(fd);
        } else if (errno != EINTR) {
            error = errno;
            ::close(fd);
            return FileWriteState::kWriteFailed;
        }
    }
    // Linux releases the descriptor even when close reports an error, so it is never retried.
    if (::close(fd) != 0 && errno != EINTR) {
        error = errno;
        return FileWriteState::kWriteFailed;
    }
    return FileWriteState::kWritten;
}

}  // namespace qvc
