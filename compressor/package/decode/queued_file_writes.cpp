#include "compressor/package/decode/queued_file_writes.hpp"

#include "compressor/safe_io/no_symlink_opener.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>

namespace qvc {
namespace {

// Text queued ahead of the worker. Texts are built faster than files are created and written,
// so a few files' worth keeps the worker busy; a deeper queue only raises the peak memory (at
// 64 MiB, decoding the standard library peaked 8% above a plain decoder, at the same speed).
constexpr size_t kMostQueuedBytes = size_t{16} << 20;
// Buffers kept for later texts.
constexpr size_t kSpareBuffers = 4;
// The interpreter's thread answers signals at least this often while it waits.
constexpr std::chrono::milliseconds kWaitSlice{5};

// The event the interpreter's `open(path, "w", ...)` raises.
bool audit_open_for_writing(PyObject* path) {
    return PySys_Audit("open", "Osi", path, "w", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC) == 0;
}

}  // namespace

Utf8Buffer QueuedFileWrites::spare_buffer() {
    if (spare_.empty()) {
        return {};
    }
    Utf8Buffer buffer = std::move(spare_.back());
    spare_.pop_back();
    return buffer;
}

bool QueuedFileWrites::add(PyObject* path, std::string fs_path, Utf8Buffer text) {
    if (!audit_open_for_writing(path)) {
        return fail_after_queued();
    }
    // Room for this text: what may stay queued beside it (none, for a text of the most or more).
    const size_t bytes = text.size;
    if (queued_bytes_ + bytes > kMostQueuedBytes &&
        !settle(kMostQueuedBytes - std::min(bytes, kMostQueuedBytes))) {
        return false;
    }
    const char* data = text.data.get();
    queued_.push_back({PyRef::borrow(path), std::move(text)});
    queued_bytes_ += bytes;
    worker_.add({std::move(fs_path), data, bytes});
    return true;
}

bool QueuedFileWrites::wait_for_all() { return settle(0); }

bool QueuedFileWrites::fail_after_queued() {
    PyRef exception = take_exception();
    if (settle(0)) {
        raise_exception(std::move(exception));
    }
    // Otherwise an earlier file's failure stands alone, as the later file was never reached.
    return false;
}

bool QueuedFileWrites::abandon() {
    worker_.stop();
    return false;
}

void QueuedFileWrites::release_written(size_t written) {
    for (; released_ < written; ++released_) {
        Utf8Buffer& text = queued_.front().text;
        queued_bytes_ -= text.size;
        if (spare_.size() < kSpareBuffers) {
            spare_.push_back(std::move(text));
        }
        queued_.pop_front();
    }
}

bool QueuedFileWrites::settle(size_t bytes_left) {
    while (true) {
        const FileWritingWorker::Progress progress = worker_.progress();
        release_written(progress.written);
        if (progress.next != FileWriteState::kPending) {
            worker_.stop();
            if (progress.next == FileWriteState::kOpenFailed) {
                raise_open_failure(progress.error, queued_.front().path.get(),
                                   progress.through_link);
            } else {
                errno = progress.error;
                PyErr_SetFromErrno(PyExc_OSError);
            }
            return false;
        }
        if (queued_.empty() || (bytes_left != 0 && queued_bytes_ <= bytes_left)) {
            return true;
        }
        if (PyErr_CheckSignals() != 0) {
            return abandon();
        }
        // The wait keeps the interpreter's lock, as the decoder does throughout: at exit the
        // interpreter ends a daemon thread that asks for the lock back, and unwinding this
        // call's frames then would run its cleanup without a thread state. The worker needs
        // no lock, and signals are still answered between the slices.
        const size_t target = released_ + (bytes_left == 0 ? queued_.size() : 1);
        worker_.wait(target, kWaitSlice);
    }
}

}  // namespace qvc
