// Phase 1 where nobody can tell how the files are read: the object is a plain QVCompressor (the
// built-in tokenize), and `open` and `os.path.basename` are those the interpreter had when the
// module was imported. This thread opens and reads the files, a worker thread checks, splits and
// numbers them (package/encode/file_reading_worker.hpp) while this thread makes the strs of the
// distinct tokens, and records each file's boundary and name in list order. A file the worker
// cannot take is read here through the interpreter, so a failure raises what the interpreter
// raises, at the file where it would; nothing of the vocabulary has changed by then.
#include "compressor/package/encode/file_reading_worker.hpp"
#include "compressor/package/encode/read_files.hpp"
#include "compressor/package/package_format.hpp"
#include "compressor/plan/fast_path_switches.hpp"
#include "compressor/pyapi/interpreter_calls.hpp"
#include "compressor/pyapi/native_path.hpp"
#include "compressor/pyapi/signal_poll.hpp"
#include "compressor/safe_io/file_descriptor.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

namespace qvc {
namespace {

// The interpreter's thread checks for signals (Ctrl-C) at least this often while it waits.
constexpr std::chrono::milliseconds kWaitSlice{5};
// Strs made between two looks at the worker's progress.
constexpr size_t kStrBatch = 4096;
// This thread sleeps until this much more work waits for it: a wake-up costs microseconds, and
// far more on a busy machine.
constexpr size_t kStrsPerWake = 16384;

// The file's text through the interpreter, as the generic reading does it: open(path, "r",
// encoding="utf-8"), one read(), closed on every path.
PyRef read_through_interpreter(ModuleState* st, PyObject* path) {
    PyRef file = open_file(st, path, st->s_mode_r, st->s_utf8);
    if (!file) {
        return {};
    }
    PyRef text = call_method(file.get(), st->s_read);
    if (!close_file(st, file.get()) || !text) {
        return {};
    }
    if (!PyUnicode_CheckExact(text.get())) {
        raise_expected_type("str", text.get());
        return {};
    }
    return text;
}

// The event the interpreter's `open` raises for reading `path` as text.
bool audit_open(PyObject* path) {
    return PySys_Audit("open", "Osi", path, "r", O_RDONLY | O_CLOEXEC) == 0;
}

// The state of one natively read call.
struct NativeReader {
    explicit NativeReader(ReadFiles& files) : read(files), worker(files.numbering) {}
    NativeReader(const NativeReader&) = delete;
    NativeReader& operator=(const NativeReader&) = delete;
    ~NativeReader() { worker.stop(); }

    ReadFiles& read;
    // The text of the last file read through the interpreter, which the worker copies from:
    // declared before the worker, so that it outlives it on every way out.
    PyRef given_text;
    size_t text_given_for = SIZE_MAX;  // the file `given_text` was read for
    size_t recorded = 0;               // files whose boundary and name are recorded
    FileReadingWorker worker;
};

}  // namespace

namespace {

// Bytes read at a time: large enough that a read costs little per byte, small enough that a
// file's text is never held whole; and at most this many wait for the worker.
constexpr size_t kPieceBytes = size_t{4} << 20;
constexpr size_t kLeastPieceBytes = size_t{4} << 10;
constexpr size_t kQueuedBytes = size_t{32} << 20;

// Raises, for the file the worker stopped at, the failure it reports there; false when it reports
// none.
bool raise_worker_failure(const FileReadingWorker::Progress& progress) {
    switch (progress.next_state) {
        case FileState::kTooManyTokens:
            raise_too_many_tokens();
            return true;
        case FileState::kOutOfMemory:
            PyErr_NoMemory();
            return true;
        default:
            return false;
    }
}

enum class Answer { kNothing, kDone, kFailed };

// One round of answering the worker: a file it leaves to the interpreter is read through it here
// (a file is found not to be UTF-8 only once the worker has scanned it, which may be after this
// thread has read files after it), a failure it reports is raised, or a batch of strs is made.
Answer answer_worker(MethodCall& call, const std::vector<PyRef>& paths, NativeReader& files,
                     const FileReadingWorker::Progress& progress) {
    const size_t at = progress.files_numbered;  // the file the state is about
    if (progress.next_state == FileState::kForInterpreter && files.text_given_for != at) {
        // Rare: the tokens numbered so far are kept.
        files.read.drop_strs_from(progress.rollback);
        files.given_text = read_through_interpreter(call.state, paths[at].get());
        if (!files.given_text) {
            return Answer::kFailed;
        }
        Py_ssize_t length;
        const char* utf8 = PyUnicode_AsUTF8AndSize(files.given_text.get(), &length);
        if (utf8 == nullptr) {
            return Answer::kFailed;
        }
        files.text_given_for = at;
        files.worker.number_text(utf8, static_cast<size_t>(length));
        return Answer::kDone;
    }
    if (raise_worker_failure(progress)) {
        return Answer::kFailed;
    }
    std::vector<PyObject*>& strs = files.read.strs;
    if (strs.size() < progress.distinct) {
        if (!files.read.make_strs(std::min(progress.distinct, strs.size() + kStrBatch)) ||
            PyErr_CheckSignals() < 0) {
            return Answer::kFailed;
        }
        return Answer::kDone;
    }
    return Answer::kNothing;
}

// Waits until every file up to `index` is numbered, answering the worker meanwhile.
bool await_numbered(MethodCall& call, const std::vector<PyRef>& paths, size_t index,
                    NativeReader& files) {
    for (;;) {
        const FileReadingWorker::Progress progress = files.worker.progress();
        const Answer answer = answer_worker(call, paths, files, progress);
        if (answer != Answer::kNothing) {
            if (answer == Answer::kFailed) {
                return false;
            }
            continue;
        }
        if (progress.files_numbered > index) {
            return true;
        }
        if (PyErr_CheckSignals() < 0) {
            return false;
        }
        files.worker.wait(index + 1, progress.distinct + kStrsPerWake, 0, kWaitSlice);
    }
}

// Waits until there is room for another piece, answering the worker meanwhile.
bool await_room(MethodCall& call, const std::vector<PyRef>& paths, NativeReader& files) {
    for (;;) {
        const FileReadingWorker::Progress progress = files.worker.progress();
        if (progress.queued_bytes < kQueuedBytes) {
            return true;
        }
        const Answer answer = answer_worker(call, paths, files, progress);
        if (answer != Answer::kNothing) {
            if (answer == Answer::kFailed) {
                return false;
            }
            continue;
        }
        if (PyErr_CheckSignals() < 0) {
            return false;
        }
        files.worker.wait(SIZE_MAX, progress.distinct + kStrsPerWake, kQueuedBytes, kWaitSlice);
    }
}

// Steps 5 and 6 for the files numbered since the last call, in list order.
bool record_numbered_files(MethodCall& call, const std::vector<PyRef>& paths,
                           NativeReader& files, PyObject* file_boundaries,
                           PyObject* filenames) {
    const size_t numbered = files.worker.progress().files_numbered;
    for (; files.recorded < numbered && files.recorded < paths.size(); ++files.recorded) {
        if (!record_file(call, paths[files.recorded].get(),
                         files.worker.file_end(files.recorded), file_boundaries, filenames)) {
            return false;
        }
    }
    return true;
}

// The bytes of `path` when this thread may read it without the interpreter: a regular file. What
// else the path names (a pipe, a device) is left to the interpreter's open. Files of /proc and
// /sys read the same as through the interpreter, as this is the thread that would read them.
std::string natively_readable_path(PyObject* path) {
    std::string fs_path = native_path(path);
    struct stat info;
    if (fs_path.empty() || ::stat(fs_path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return {};
    }
    return fs_path;
}

// Raises `error` for the file last of `paths`, as the interpreter's open or read would; a failure
// the worker finds meanwhile in a file before it comes first.
bool raise_file_error(MethodCall& call, const std::vector<PyRef>& paths, NativeReader& files,
                      int error, bool with_name) {
    if (paths.size() > 1 && !await_numbered(call, paths, paths.size() - 2, files)) {
        return false;
    }
    errno = error;
    if (with_name) {
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, paths.back().get());
    } else {
        PyErr_SetFromErrno(PyExc_OSError);
    }
    return false;
}

// Opens and reads the file last of `paths`, once its event is raised, handing its bytes to the
// worker. `*by_interpreter`: it turned out to be no regular file, and is left to the interpreter.
bool feed_file(MethodCall& call, const std::vector<PyRef>& paths, NativeReader& files,
               const std::string& fs_path, bool* by_interpreter) {
    FileDescriptor fd(::open(fs_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat info;
    if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0) {
        return raise_file_error(call, paths, files, errno, true);
    }
    if (S_ISDIR(info.st_mode)) {
        return raise_file_error(call, paths, files, EISDIR, true);  // as the interpreter's open
    }
    if (!S_ISREG(info.st_mode)) {
        *by_interpreter = true;
        files.worker.grant(false);
        return true;
    }
    files.worker.grant(true);
    // A file smaller than a piece is read with room for its size and the end of file.
    const size_t piece_bytes = std::clamp(static_cast<size_t>(info.st_size) + 1,
                                          kLeastPieceBytes, kPieceBytes);
    for (bool at_end = false; !at_end;) {
        if (PyErr_CheckSignals() < 0 || !await_room(call, paths, files)) {
            return false;
        }
        FileReadingWorker::Bytes bytes{std::make_unique_for_overwrite<unsigned char[]>(piece_bytes),
                                       0};
        size_t& filled = bytes.length;
        while (filled < piece_bytes) {
            const ssize_t got = ::read(fd.get(), bytes.data.get() + filled, piece_bytes - filled);
            if (got < 0 && errno == EINTR) {
                if (PyErr_CheckSignals() < 0) {
                    return false;
                }
                continue;
            }
            if (got < 0) {
                return raise_file_error(call, paths, files, errno, false);
            }
            if (got == 0) {
                at_end = true;
                break;
            }
            filled += static_cast<size_t>(got);
        }
        files.worker.give_piece(std::move(bytes), at_end);
    }
    return true;
}

// Steps 1 to 6 of the interpreter's loop for the file last of `paths`: its "open" event, then this
// thread opens and reads it and the worker checks and numbers it (or this thread reads it through
// the interpreter, whose open raises the event, once the worker reaches it). Boundaries and names
// are recorded as the files are numbered; the name of a file read through the interpreter (a
// path object, whose __fspath__ is the caller's code) before the next file is opened.
bool read_file_natively(MethodCall& call, const std::vector<PyRef>& paths,
                        NativeReader& files, PyObject* file_boundaries,
                        PyObject* filenames) {
    const size_t index = paths.size() - 1;
    PyObject* path = paths[index].get();
    const std::string fs_path = natively_readable_path(path);
    bool by_interpreter = fs_path.empty();
    if (by_interpreter) {
        files.worker.grant(false);
    } else if (!audit_open(path) ||
               !feed_file(call, paths, files, fs_path, &by_interpreter)) {
        return false;
    }
    if (by_interpreter) {
        if (!await_numbered(call, paths, index, files)) {
            return false;
        }
    } else if (answer_worker(call, paths, files, files.worker.progress()) == Answer::kFailed) {
        return false;
    }
    return record_numbered_files(call, paths, files, file_boundaries, filenames);
}

}  // namespace

bool may_read_natively(MethodCall& call) {
    ModuleState* st = call.state;
    if (Py_TYPE(call.self_object()) != st->compressor_type) {
        return false;
    }
    return opens_as_imported(call.module, st, st->s_basename, st->path_basename);
}

NativeReading read_files_natively(MethodCall& call, PyObject* filepaths,
                                  ReadFiles& read, PyObject* file_boundaries,
                                  PyObject* filenames) {
    NativeReader files(read);
    if (!files.worker.start()) {
        return NativeReading::kNotStarted;
    }
    std::vector<PyRef> paths;
    bool ok = true;
    // As a for loop walks a list: the length and the item are read again at every step.
    for (Py_ssize_t i = 0; ok && i < PyList_GET_SIZE(filepaths); ++i) {
        ok = PyErr_CheckSignals() == 0;
        if (ok) {
            paths.push_back(PyRef::borrow(PyList_GET_ITEM(filepaths, i)));
            ok = read_file_natively(call, paths, files, file_boundaries, filenames);
        }
    }
    ok = ok && (paths.empty() || await_numbered(call, paths, paths.size() - 1, files)) &&
         record_numbered_files(call, paths, files, file_boundaries, filenames);
    files.worker.stop();
    if (!ok) {
        return NativeReading::kFailed;
    }
    read.numbering.release_scanning();
    if (!read.make_strs(read.numbering.table().size())) {
        return NativeReading::kFailed;
    }
    read.numbering.table().release();  // every distinct token has its str now
    return NativeReading::kDone;
}

}  // namespace qvc
