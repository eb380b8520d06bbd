// The first phase of encode_files, split between two threads: the interpreter's thread opens and
// reads each file in list order, each after its own "open" event, as the interpreter's loop
// does, and hands its bytes over in pieces; this worker checks them as strict UTF-8, translates
// line ends as text mode does, splits them into tokens and numbers each token among the call's
// distinct tokens, while the interpreter's thread reads the next file and makes the strs of the
// distinct tokens found so far.
//
// A file that is not UTF-8 is handed back to the interpreter's thread, which reads it through
// the interpreter: that read raises exactly the error the interpreter gives, and when it succeeds
// after all, its text comes back to the worker, which numbers it and goes on.
#pragma once

#include "compressor/package/encode/token_numbering.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
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
};

class FileReadingWorker {
public:
    // Numbers into `numbering`, which must outlive the worker.
    explicit FileReadingWorker(TokenNumbering& numbering) : numbering_(numbering) {}
    FileReadingWorker(const FileReadingWorker&) = delete;
    FileReadingWorker& operator=(const FileReadingWorker&) = delete;
    ~FileReadingWorker() { stop(); }

    // False when no thread could be started.
    bool start();
    // Tells the worker to stop at its next check and waits for it.
    void stop();

    // Hands over the next file. `by_pieces`: its bytes come through give_piece(); otherwise the
    // worker leaves it to the interpreter's thread (kForInterpreter).
    void grant(bool by_pieces);
    // Bytes read from a file, `length` of them.
    struct Bytes {
        std::unique_ptr<unsigned char[]> data;
        size_t length;
    };
    // The next piece of the file last granted by pieces; `last` with its final piece, which may
    // be empty.
    void give_piece(Bytes bytes, bool last);

    struct Progress {
        size_t files_numbered;  // files [0, files_numbered) are numbered
        FileState next_state;   // the state of file files_numbered
        size_t distinct;        // distinct tokens whose bytes may be read
        size_t rollback;        // for a file to read through the interpreter: the distinct
                                // tokens that stay, those it had numbered being forgotten
        size_t tokens;          // tokens in the stream, for the blocks they fill
        size_t queued_bytes;    // of pieces given and not yet taken
    };
    Progress progress();

    // Waits, for at most `timeout`, until `files` files are numbered, or the strs of `distinct`
    // distinct tokens can be made, or fewer than `queued_bytes` bytes wait in pieces, or a file
    // needs the interpreter's thread. Waking the waiting thread for less would cost more than
    // the work it then finds.
    void wait(size_t files, size_t distinct, size_t queued_bytes,
              std::chrono::milliseconds timeout);

    // For the file in state kForInterpreter: its text as UTF-8, which the worker numbers before
    // it goes on. The bytes stay the caller's and must live until that file is numbered.
    void number_text(const char* utf8, size_t length);

    // The stream's end after file `index`, once it is numbered.
    size_t file_end(size_t index) {
        std::lock_guard<std::mutex> lock(mutex_);
        return file_ends_[index];
    }

    // The bytes of a distinct token below Progress::distinct.
    TokenBytes token(size_t number) noexcept { return numbering_.table().token(number); }

private:
    enum class Outcome { kNumbered, kForInterpreter, kTooManyTokens };
    struct Piece {
        Bytes bytes;
        bool last;
    };

    void run();
    // File `file` once granted; false when the worker is to stop.
    bool await_grant(size_t file, bool& by_pieces);
    // The next piece; false when the worker is to stop.
    bool take_piece(Piece& piece);
    Outcome number_pieces();
    Outcome number_given_text();
    void publish(size_t files_numbered, FileState next_state, size_t rollback);
    void publish_distinct();
    bool worth_waking() const noexcept;
    bool stopping() const noexcept { return stop_.load(std::memory_order_relaxed); }

    std::vector<bool> granted_;  // by pieces
    std::deque<Piece> pieces_;
    size_t queued_bytes_ = 0;
    std::vector<size_t> file_ends_;
    TokenNumbering& numbering_;

    std::mutex mutex_;
    std::condition_variable changed_;  // to the interpreter's thread
    std::condition_variable answered_; // to the worker
    size_t files_numbered_ = 0;
    FileState next_state_ = FileState::kWaiting;
    size_t distinct_published_ = 0;
    size_t rollback_ = 0;
    size_t tokens_published_ = 0;
    bool sleeping_ = false;
    bool worker_waiting_ = false;
    size_t wake_files_ = 0;
    size_t wake_distinct_ = 0;
    size_t wake_queued_ = 0;
    const char* given_text_ = nullptr;
    size_t given_length_ = 0;
    bool given_ = false;

    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace qvc
