// The first phase of encode_files on a thread of its own: every file read straight from the
// operating system in pieces, checked as strict UTF-8, its line ends translated as text mode
// translates them, split into tokens and each token numbered among the call's distinct tokens,
// while the interpreter's thread makes the strs of the distinct tokens found so far.
//
// The interpreter's thread hands the files over one at a time (grant), each once the one before
// is numbered and its "open" event raised, so that the files are read in list order and each
// after its own event, as the interpreter's loop reads them. Before numbering a large single
// file, the worker counts its tokens, so that the stream's size is known and compressing it can
// start while the file is still being numbered.
//
// A file the worker cannot read this way (a path it may not use, one that is not UTF-8, ...) is
// handed back to the interpreter's thread, which reads it through the interpreter: that read
// raises exactly the error the interpreter gives, and when it succeeds after all, its text comes
// back to the worker, which numbers it and goes on. A file that can no longer be opened once its
// event was raised is reported with the error number of the failed open.
#pragma once

#include "compressor/package/encode/token_stream.hpp"
#include "compressor/package/encode/utf8_token_table.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qvc {

enum class FileState : uint8_t {
    kWaiting,           // not reached yet
    kNumbered,          // its tokens are in the stream
    kForInterpreter,    // to be read through the interpreter
    kTooManyTokens,     // it would take the call past the most tokens a package holds
    kOutOfMemory,
    kOpenFailed,        // opening it failed with Progress::open_error
};

class FileReadingWorker {
public:
    FileReadingWorker();
    FileReadingWorker(const FileReadingWorker&) = delete;
    FileReadingWorker& operator=(const FileReadingWorker&) = delete;
    ~FileReadingWorker() { stop(); }

    // False when no thread could be started.
    bool start();
    // Tells the worker to stop at its next check and waits for it.
    void stop();

    // Hands over the next file: its path as the operating system takes it, or empty for one the
    // worker must leave to the interpreter. `count_first`: count the file's tokens before
    // numbering them (see Progress::total_tokens). The file before it must be numbered.
    void grant(std::string fs_path, bool count_first);

    struct Progress {
        size_t files_read;      // files [0, files_read) are read whole
        size_t files_numbered;  // files [0, files_numbered) are numbered
        FileState next_state;   // the state of file files_numbered
        size_t distinct;        // distinct tokens whose bytes may be read
        size_t rollback;        // for a file to read through the interpreter: the distinct
                                // tokens that stay, those it had numbered being forgotten
        uint64_t version;       // changes whenever the rest may have
        size_t tokens;          // tokens in the stream, for the blocks they fill
        size_t total_tokens;    // of the first file, counted before numbering it; kUnknownTotal
                                // when it was not counted
        int open_error;         // for kOpenFailed: the error number of the open
    };
    static constexpr size_t kUnknownTotal = SIZE_MAX;
    Progress progress();

    // Waits, for at most `timeout`, until `files_read` files are read or `files_numbered`
    // numbered, or the strs of `distinct` distinct tokens can be made, or a file needs the
    // interpreter's thread. Waking the waiting thread for less would cost more than the work it
    // then finds.
    void wait(size_t files_read, size_t files_numbered, size_t distinct,
              std::chrono::milliseconds timeout);

    // For the file in state kForInterpreter: its text as UTF-8, which the worker numbers before
    // it goes on. The bytes stay the caller's and must live until that file is numbered.
    void number_text(const char* utf8, size_t length);

    // The stream's end after file `index`, once it is numbered.
    size_t file_end(size_t index) {
        std::lock_guard<std::mutex> lock(mutex_);
        return file_ends_[index];
    }

    // Once the worker has stopped: lets go of what only numbering needs.
    void release_scanning() noexcept;
    // Once the worker has stopped.
    Utf8TokenTable& table() noexcept { return table_; }
    TokenStream& stream() noexcept { return stream_; }
    // The bytes of a distinct token below Progress::distinct.
    TokenBytes token(size_t number) const noexcept { return table_.token(number); }

    // A token's bytes, in the read buffer or, with its line ends translated, in scratch room.
    struct Span {
        const unsigned char* bytes;
        size_t length;
    };

private:
    enum class Outcome { kNumbered, kForInterpreter, kTooManyTokens, kOpenFailed };
    class TextScan;

    void run();
    // The path of file `file` once granted; false when the worker is to stop.
    bool await_grant(size_t file, std::string& fs_path, bool& count_first);
    Outcome read_file(const std::string& fs_path, TextScan& scan);
    size_t count_tokens(const std::string& fs_path);
    Outcome number_given_text();
    void publish(size_t files_numbered, FileState next_state, size_t rollback);
    void publish_read();
    void publish_distinct();
    bool worth_waking() const noexcept;
    bool stopping() const noexcept { return stop_.load(std::memory_order_relaxed); }

    std::vector<std::string> granted_;
    bool count_first_ = false;
    std::vector<size_t> file_ends_;
    int open_error_ = 0;
    Utf8TokenTable table_;
    TokenStream stream_;
    std::vector<unsigned char> buffer_;
    // TextScan's working room.
    std::vector<Span> scan_spans_;
    std::vector<unsigned char> scan_scratch_;

    std::mutex mutex_;
    std::condition_variable changed_;  // to the interpreter's thread
    std::condition_variable answered_; // to the worker
    size_t files_read_ = 0;
    size_t files_numbered_ = 0;
    size_t reading_file_ = 0;  // the worker's own: the file it reads
    FileState next_state_ = FileState::kWaiting;
    size_t distinct_published_ = 0;
    size_t rollback_ = 0;
    uint64_t version_ = 0;
    size_t tokens_published_ = 0;
    size_t total_tokens_ = kUnknownTotal;
    bool sleeping_ = false;
    bool worker_waiting_ = false;
    size_t wake_read_ = 0;
    size_t wake_numbered_ = 0;
    size_t wake_distinct_ = 0;
    const char* given_text_ = nullptr;
    size_t given_length_ = 0;
    bool given_ = false;

    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace qvc
