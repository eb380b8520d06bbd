// What the first phase of encode_files hands to the second, whichever way the files were read:
// every token as the number of its distinct token, and the str of each distinct token. Nothing of
// the vocabulary changes in the first phase, except through the caller's own code.
#pragma once

#include "compressor/compressor_object.hpp"
#include "compressor/package/encode/token_numbering.hpp"
#include "compressor/plan/encode_plan.hpp"

#include <vector>

namespace qvc {

struct ReadFiles {
    ReadFiles() = default;
    ReadFiles(const ReadFiles&) = delete;
    ReadFiles& operator=(const ReadFiles&) = delete;
    ~ReadFiles() {
        if (thread_may_use_interpreter()) {
            drop_strs_from(0);
        }
    }

    void drop_strs_from(size_t count) noexcept {
        while (strs.size() > count) {
            Py_DECREF(strs.back());
            strs.pop_back();
        }
    }

    // Makes the strs of the distinct tokens [strs.size(), end), all of the built-in split.
    // Answers signals.
    bool make_strs(size_t end);

    TokenNumbering numbering;
    std::vector<PyObject*> strs;  // owned: the str of each distinct token, by its number
};

// The steps after a file's text is split, on either way of reading: its boundary (the stream's
// length after it) and `os.path.basename(path)`, appended to the lists of the package.
bool record_file(MethodCall& call, PyObject* path, size_t boundary, PyObject* file_boundaries,
                 PyObject* filenames);

// Phase 1 as the interpreter's loop does it, for every file of `filepaths`: open(), read() and
// self.tokenize() (see package/encode/interpreter_reading.cpp).
bool read_files_through_interpreter(MethodCall& call, PyObject* filepaths, ReadFiles& files,
                                    PyObject* file_boundaries, PyObject* filenames);

enum class NativeReading { kDone, kFailed, kNotStarted };

// Phase 1 where nothing can tell how the files are read (EncodePlan::native_reading): read by
// this thread straight from the operating system, split and numbered by a worker thread (see
// package/encode/native_reading.cpp). kNotStarted, having done nothing, when no worker thread
// could be started.
NativeReading read_files_natively(MethodCall& call, PyObject* filepaths,
                                  ReadFiles& files, PyObject* file_boundaries,
                                  PyObject* filenames);

// Whether nothing can tell how the files are read (EncodePlan::native_reading).
bool may_read_natively(MethodCall& call);

}  // namespace qvc
