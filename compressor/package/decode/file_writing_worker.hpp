// Writing restored files on a thread of its own while the interpreter's thread builds the texts
// of the files after them. The worker sees no interpreter object: each job is a path as the
// operating system takes it and UTF-8 bytes that the interpreter's thread keeps alive and
// unchanged until the worker is past that job.
//
// Files are created and written one at a time, in the order of their jobs, as the interpreter's
// `open(path, "w")` and one write would, without following a symbolic link at the path. The
// first job that fails stops the worker there, before it creates any later file. Nothing it does
// waits beyond a few milliseconds without looking for a stop request: a FIFO with no reader yet
// is opened again every few milliseconds until one comes, and a FIFO or device that takes no
// more data is waited on in short slices.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace qvc {

struct FileWriteJob {
    std::string fs_path;
    const char* text;
    size_t length;
};

enum class FileWriteState : uint8_t {
    kPending,          // not done yet
    kWritten,          // (a job's outcome only) created and written whole
    kOpenFailed,       // opening failed with `error`
    kWriteFailed,      // writing or closing failed with `error`
};

class FileWritingWorker {
public:
    FileWritingWorker() = default;
    FileWritingWorker(const FileWritingWorker&) = delete;
    FileWritingWorker& operator=(const FileWritingWorker&) = delete;
    ~FileWritingWorker() { stop(); }

    // False when no thread could be started.
    bool start();
    // Stops the worker at its next check, within a file or between files, and waits for it: a
    // file being written stays as far as it got, and no later one is created.
    void stop() noexcept;

    // Queues a file after those queued before it. An idle worker is woken once a few files or
    // some text wait for it, or when this thread waits: a wake-up costs microseconds, and far
    // more on a busy machine.
    void add(FileWriteJob job);

    struct Progress {
        size_t written;        // jobs [0, written) are done
        FileWriteState next;   // the state of job `written`
        int error;             // errno of a failure
        bool through_link;     // an open that failed because a symbolic link is at the path
    };
    Progress progress();

    // Waits, for at most `timeout`, until `jobs` jobs are done or the next one is not pending.
    void wait(size_t jobs, std::chrono::milliseconds timeout);

private:
    void run() noexcept;
    FileWriteState write_file(const FileWriteJob& job, int& error, bool& through_link) noexcept;

    std::mutex mutex_;
    std::condition_variable work_ready_;
    std::condition_variable progress_made_;
    std::deque<FileWriteJob> jobs_;  // references stay valid as jobs are added
    size_t written_ = 0;
    FileWriteState next_state_ = FileWriteState::kPending;
    int error_ = 0;
    bool idle_ = false;
    size_t unannounced_files_ = 0;  // added since the idle worker was last woken
    size_t unannounced_bytes_ = 0;
    bool through_link_ = false;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace qvc
