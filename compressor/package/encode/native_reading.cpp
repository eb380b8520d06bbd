#include "compressor/package/encode/native_reading.hpp"

#include "compressor/package/package_format.hpp"
#include "compressor/plan/fast_path_switches.hpp"
#include "compressor/pyapi/interpreter_calls.hpp"
#include "compressor/pyapi/native_path.hpp"
#include "compressor/pyapi/signal_poll.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fcntl.h>

namespace qvc {
namespace {

// The interpreter's thread checks for signals (Ctrl-C) at least this often while it waits.
constexpr std::chrono::milliseconds kWaitSlice{5};
// Strs made between two looks at the worker's progress.
constexpr size_t kStrBatch = 4096;
// This thread sleeps until this much more work waits for it: a wake-up costs microseconds, and
// far more on a busy machine.
constexpr size_t kFilesPerWake = 16;
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
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str",
                     Py_TYPE(text.get())->tp_name);
        return {};
    }
    return text;
}

// The event the interpreter's `open` raises for reading `path` as text.
bool audit_open(PyObject* path) {
    return PySys_Audit("open", "Osi", path, "r", O_RDONLY | O_CLOEXEC) == 0;
}

bool raise_too_many_tokens() {
    PyErr_Format(PyExc_ValueError,
                 "the files hold more than %llu tokens, the most one package can hold",
                 static_cast<unsigned long long>(kMaxPackageTokens));
    return false;
}

bool is_ascii(const unsigned char* bytes, size_t length) noexcept {
    uint64_t high = 0;
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t word;
        std::memcpy(&word, bytes + i, 8);
        high |= word;
    }
    for (; i < length; ++i) {
        high |= bytes[i];
    }
    return (high & 0x8080808080808080ULL) == 0;
}

// The str of a distinct token's bytes, which the worker checked as strict UTF-8. An ASCII token
// of two or more characters is copied straight into a new compact str, the object the decoder
// would make; anything else goes through the decoder, which also gives a one-character token
// the interpreter's shared str, as a slice of the text would (the package's pickle tells such a
// shared object from an equal one of its own).
PyObject* new_token_str(const TokenBytes& token) {
    if (token.length >= 2 && is_ascii(token.bytes, token.length)) {
        PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(token.length), 127);
        if (str != nullptr) {
            std::memcpy(PyUnicode_1BYTE_DATA(str), token.bytes, token.length);
        }
        return str;
    }
    return PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(token.bytes),
                                static_cast<Py_ssize_t>(token.length), nullptr);
}

// Makes the strs of the distinct tokens [files.strs.size(), end). Answers signals.
bool make_strs(NativelyReadFiles& files, size_t end) {
    SignalPoll poll(kTokensBetweenChecks);
    while (files.strs.size() < end) {
        if (!poll.tick()) {
            return false;
        }
        PyObject* str = new_token_str(files.worker.token(files.strs.size()));
        if (str == nullptr) {
            return false;
        }
        files.strs.push_back(str);
        // Hashed now, while the str is at hand: entering it in the vocabulary needs the hash.
        if (PyObject_Hash(str) == -1) {
            return false;
        }
    }
    return true;
}

// Once every token is counted, the stream's blocks whose ids are given go to the compressor as
// they are filled, while the files are still read. False when a signal handler raised.
bool compress_early(MethodCall& call, NativelyReadFiles& files,
                    const FileReadingWorker::Progress& progress) {
    if (!fast_path_on(FastPath::kEarlyCompression) ||
        progress.total_tokens == FileReadingWorker::kUnknownTotal ||
        !files.ids.early_ids_hold(call.self)) {
        return true;
    }
    if (!files.early_compressor) {
        if (!PackedStreamCompressor::compresses_in_pieces(call, 4 * progress.total_tokens)) {
            return true;
        }
        files.early_compressor =
            std::make_unique<PackedStreamCompressor>(call, 4 * progress.total_tokens);
    }
    return files.ids.feed_ready(files.worker.stream(), &files.blocks_fed, progress.tokens,
                                *files.early_compressor);
}

}  // namespace

bool record_file(MethodCall& call, PyObject* path, size_t boundary, PyObject* file_boundaries,
                 PyObject* filenames) {
    ModuleState* st = call.state;
    PyRef end = PyRef::steal(PyLong_FromSize_t(boundary));
    if (!end || PyList_Append(file_boundaries, end.get()) < 0) {
        return false;
    }
    PyRef os = module_global(call.module, st->s_os);
    PyRef os_path = os ? PyRef::steal(PyObject_GetAttr(os.get(), st->s_path)) : PyRef{};
    PyRef name = os_path ? call_method(os_path.get(), st->s_basename, path) : PyRef{};
    return name && PyList_Append(filenames, name.get()) == 0;
}

namespace {

// Waits for file `index` to be numbered, making strs meanwhile; a file left to the interpreter
// is read through it here. `read_here` tells which it was.
bool await_file(MethodCall& call, PyObject* path, size_t index, NativelyReadFiles& files,
                bool& read_here) {
    FileReadingWorker& worker = files.worker;
    for (;;) {
        const FileReadingWorker::Progress progress = worker.progress();
        if (progress.next_state == FileState::kForInterpreter &&
            progress.files_numbered == index && !read_here) {
            // Rare: the tokens numbered so far are kept, but no record is worked out before the
            // second phase any more.
            files.ids.stop_early();
            files.drop_strs_from(progress.rollback);
            files.given_text = read_through_interpreter(call.state, path);
            if (!files.given_text) {
                return false;
            }
            Py_ssize_t length;
            const char* utf8 = PyUnicode_AsUTF8AndSize(files.given_text.get(), &length);
            if (utf8 == nullptr) {
                return false;
            }
            read_here = true;
            worker.number_text(utf8, static_cast<size_t>(length));
            continue;
        }
        if (files.strs.size() < progress.distinct) {
            if (!make_strs(files, std::min(progress.distinct, files.strs.size() + kStrBatch)) ||
                PyErr_CheckSignals() < 0) {
                return false;
            }
            if (!files.ids.give_early(files.strs) || !compress_early(call, files, progress)) {
                return false;
            }
            continue;
        }
        if (progress.files_numbered > index) {
            return true;
        }
        if (progress.files_numbered == index) {
            if (progress.next_state == FileState::kTooManyTokens) {
                // Read, then found too long: the read's audit event comes first.
                if (!read_here && !audit_open(path)) {
                    return false;
                }
                return raise_too_many_tokens();
            }
            if (progress.next_state == FileState::kOutOfMemory) {
                PyErr_NoMemory();
                return false;
            }
        }
        if (PyErr_CheckSignals() < 0) {
            return false;
        }
        worker.wait(index + kFilesPerWake, progress.distinct + kStrsPerWake, kWaitSlice);
    }
}

}  // namespace

bool may_read_natively(MethodCall& call) {
    ModuleState* st = call.state;
    if (!fast_path_on(FastPath::kNativeReading)) {
        return false;
    }
    if (Py_TYPE(call.self_object()) != st->compressor_type) {
        return false;
    }
    return opens_as_imported(call.module, st, st->s_basename, st->path_basename);
}

NativeReading read_files_natively(MethodCall& call, PyObject* filepaths,
                                  PyObject* file_boundaries, PyObject* filenames,
                                  std::unique_ptr<NativelyReadFiles>& files) {
    // The list as it is now: the worker runs ahead of this thread through these paths.
    const Py_ssize_t count = PyList_GET_SIZE(filepaths);
    std::vector<PyRef> paths;
    std::vector<std::string> fs_paths;
    paths.reserve(static_cast<size_t>(count));
    fs_paths.reserve(static_cast<size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        paths.push_back(PyRef::borrow(PyList_GET_ITEM(filepaths, i)));
        fs_paths.push_back(native_path(paths.back().get()));
    }
    files = std::make_unique<NativelyReadFiles>(call.state, call.self, std::move(fs_paths));
    if (!files->worker.start()) {
        files.reset();
        return NativeReading::kNotStarted;
    }
    files->ids.begin_early();
    bool ok = true;
    for (size_t i = 0; ok && i < paths.size(); ++i) {
        PyObject* path = paths[i].get();
        bool read_here = false;
        ok = await_file(call, path, i, *files, read_here);
        // A file read here raised the interpreter's own audit event; one read by the worker
        // raises the same event now.
        if (ok && !read_here) {
            ok = audit_open(path);
        }
        ok = ok && record_file(call, path, files->worker.file_end(i), file_boundaries, filenames);
    }
    files->worker.stop();
    if (ok) {
        ok = make_strs(*files, files->worker.table().size());
    }
    if (!ok) {
        return NativeReading::kFailed;
    }
    files->worker.table().release();  // every distinct token has its str now
    return NativeReading::kDone;
}

}  // namespace qvc
