// The interpreter's side of writing restored files on the worker thread: each file's text is
// built here as UTF-8 bytes, handed to the worker and kept unchanged until the worker is past
// that file; a buffer is then used again for a later file. What a caller can see stays as when
// every file is written here in turn: the audit event of each `open`, in package order, and for
// a failure the exception that `open` or `write` would raise, for the first failing file, raised
// from a call on this thread. Waits for the worker keep the interpreter's lock.
#pragma once

#include "compressor/module_state.hpp"
#include "compressor/package/decode/file_writing_worker.hpp"
#include "compressor/package/decode/utf8_text.hpp"

#include <deque>
#include <string>
#include <vector>

namespace qvc {

class QueuedFileWrites {
public:
    QueuedFileWrites() = default;
    QueuedFileWrites(const QueuedFileWrites&) = delete;
    QueuedFileWrites& operator=(const QueuedFileWrites&) = delete;
    // Stops the worker where it is: idle after wait_for_all(), and on a failure the exception
    // is set already.
    ~QueuedFileWrites() { worker_.stop(); }

    // False (no exception) when no thread could be started.
    bool start() { return worker_.start(); }

    // A text whose str would take more than this is written by the interpreter's thread
    // instead, in pieces.
    static constexpr size_t kMostTextBytes = size_t{32} << 20;

    // A buffer for the next file's text: one the worker is done with, when there is one.
    Utf8Buffer spare_buffer();

    // Queues the file at `path` (its OS form `fs_path`) to receive `text`, after the files
    // queued before it. Waits while too much text is queued.
    // Returns false with an exception set: that of an earlier file, an audit hook's for this
    // one, or a signal handler's.
    bool add(PyObject* path, std::string fs_path, Utf8Buffer text);

    // Waits until every queued file is written. Returns false with the first failure's
    // exception set. Files may be added afterwards.
    bool wait_for_all();

    // For an exception raised here at the next file in package order: the files queued before
    // it are written first, and a failure among them takes the exception's place. False always.
    bool fail_after_queued();

    // For an exception that must be answered at once (a signal handler's, no memory): the
    // worker stops where it is, a file it was writing left as far as it got. False always.
    bool abandon();

private:
    struct Queued {
        PyRef path;
        Utf8Buffer text;
    };
    // Waits until at most `bytes_left` bytes of text are queued (0: every file written),
    // answering signals. False with an exception set when a file failed or a handler raised.
    bool settle(size_t bytes_left);
    void release_written(size_t written);

    FileWritingWorker worker_;
    std::deque<Queued> queued_;
    std::vector<Utf8Buffer> spare_;
    size_t released_ = 0;  // files whose texts are released
    size_t queued_bytes_ = 0;
};

}  // namespace qvc
