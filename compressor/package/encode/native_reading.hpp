// The first phase of encode_files where nobody can tell how the files are read: the object is a
// plain QVCompressor (the built-in tokenize), and `open` and `os.path.basename` are those the
// interpreter had when the module was imported. Files are then read, checked, split and
// numbered on a worker thread (package/encode/file_reading_worker.hpp) while this thread makes
// the strs of the distinct tokens, and records each file's boundary and name in list order. A
// file the worker cannot read is read here through the interpreter, so a failure raises what
// the interpreter raises, at the file where it would; nothing of the vocabulary has changed by
// then.
#pragma once

#include "compressor/compressor_object.hpp"
#include "compressor/package/encode/file_reading_worker.hpp"
#include "compressor/package/encode/id_assignment.hpp"
#include "compressor/package/encode/stream_compression.hpp"
#include "compressor/plan/encode_plan.hpp"

#include <cstdint>
#include <memory>
#include <vector>

namespace qvc {

// The distinct tokens' strs and each token's distinct number, for the second phase.
class NativelyReadFiles {
public:
    NativelyReadFiles(ModuleState* st, CompressorObject* self) : ids(st, self) {}
    NativelyReadFiles(const NativelyReadFiles&) = delete;
    NativelyReadFiles& operator=(const NativelyReadFiles&) = delete;
    ~NativelyReadFiles() {
        worker.stop();
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

    // The text of the last file read through the interpreter, which the worker copies from:
    // declared before the worker, so that it outlives it on every way out.
    PyRef given_text;
    size_t text_given_for = SIZE_MAX;  // the file `given_text` was read for
    size_t recorded = 0;               // files whose boundary and name are recorded
    FileReadingWorker worker;
    std::vector<PyObject*> strs;  // owned: the str of each distinct token
    DistinctTokenIds ids;
};

// Whether nothing can tell how the files are read (EncodePlan::native_reading).
bool may_read_natively(MethodCall& call);

// The steps after a file's text is split, on either way of reading: its boundary (the stream's
// length after it) and `os.path.basename(path)`, appended to the lists of the package.
bool record_file(MethodCall& call, PyObject* path, size_t boundary, PyObject* file_boundaries,
                 PyObject* filenames);

enum class NativeReading { kDone, kFailed, kNotStarted };

// Phase 1 for the files of `filepaths`, walked as the interpreter's loop walks a list, appending
// to `file_boundaries` and `filenames`; the distinct tokens' records are worked out as their strs
// are made, as far as DistinctTokenIds may. Returns kNotStarted, having done nothing, when no
// worker thread could be started.
NativeReading read_files_natively(MethodCall& call, const EncodePlan& plan,
                                  PyObject* filepaths, PyObject* file_boundaries,
                                  PyObject* filenames, std::unique_ptr<NativelyReadFiles>& files);

}  // namespace qvc
