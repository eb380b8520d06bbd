// encode_files: packs UTF-8 text files into one package file. Phase 1 reads and tokenizes every
// file (package/encode/read_files.hpp); phase 2 gives the tokens their ids
// (package/encode/id_assignment.cpp) while the stream is compressed; phase 3 writes the package.
#include "compressor/safe_io/atomic_file.hpp"
#include "compressor/pyapi/dict_change_watch.hpp"
#include "compressor/pyapi/interpreter_calls.hpp"
#include "compressor/methods.hpp"
#include "compressor/package/encode/id_assignment.hpp"
#include "compressor/package/encode/package_pickling.hpp"
#include "compressor/package/encode/read_files.hpp"
#include "compressor/package/encode/stream_compression.hpp"
#include "compressor/package/package_format.hpp"

#include <optional>

namespace qvc {
namespace {

// ---------------------------------------------------------------------------------------------
// Phase 3

PyRef build_package(ModuleState* st, CompressorObject* self, PyObject* compressed,
                    PyObject* file_boundaries, PyObject* filenames) {
    PyRef package = PyRef::steal(PyDict_New());
    if (!package || PyDict_SetItem(package.get(), st->s_compressed, compressed) < 0 ||
        PyDict_SetItem(package.get(), st->s_file_boundaries, file_boundaries) < 0 ||
        PyDict_SetItem(package.get(), st->s_filenames, filenames) < 0 ||
        PyDict_SetItem(package.get(), st->s_global_dict, self->global_dict) < 0) {
        return {};
    }
    return package;
}

}  // namespace

PyObject* encode_files(MethodCall& call) {
    ModuleState* st = call.state;
    const EncodeParams params(call.args);
    PyObject* filepaths = params.filepaths;
    PyObject* output_path = params.output_path;
    if (filepaths == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
        return nullptr;
    }
    PyRef paths = PyRef::borrow(filepaths);
    PyRef file_boundaries = PyRef::steal(PyList_New(0));
    PyRef filenames = PyRef::steal(PyList_New(0));
    if (!file_boundaries || !filenames) {
        return nullptr;
    }
    const EncodePlan plan = choose_encode_plan(call);
    auto files = std::make_unique<ReadFiles>();
    NativeReading reading = NativeReading::kNotStarted;
    if (plan.native_reading) {
        reading = read_files_natively(call, paths.get(), *files, file_boundaries.get(),
                                      filenames.get());
    }
    if (reading == NativeReading::kFailed ||
        (reading == NativeReading::kNotStarted &&
         !read_files_through_interpreter(call, paths.get(), *files, file_boundaries.get(),
                                         filenames.get()))) {
        return nullptr;
    }

    // The stream must hold the ids that global_dict holds when the package is written. Code that
    // runs from here on (an id's __index__, a signal handler, a finalizer, a replaced `zstd`) could
    // change or drop an entry the stream uses; new entries are ours, or change no id. A dict can be
    // watched from 3.12 on; a mapping of another type runs its own code on every lookup and is
    // its owner's to keep consistent.
    PyRef vocabulary = PyRef::borrow(call.self->global_dict);
    std::optional<DictChangeWatch> vocabulary_watch;
    if (PyDict_CheckExact(vocabulary.get()) && DictChangeWatch::available()) {
        vocabulary_watch.emplace(vocabulary.get(), true);
    }
    TokenStream& stream = files->numbering.stream();
    PackagePickle package_pickle;
    auto compressor = std::make_unique<PackedStreamCompressor>(call, 4 * stream.size());
    // The package's other entries are pickled while the compressor's threads work.
    if (!assign_ids_and_compress(st, call.self, files->strs, stream, *compressor, [&] {
            return package_pickle.prepare(call, file_boundaries.get(), filenames.get());
        })) {
        return nullptr;
    }
    files.reset();
    PyRef compressed = compressor->finish();
    if (!compressed) {
        return nullptr;
    }

    PyRef package = build_package(st, call.self, compressed.get(), file_boundaries.get(),
                                  filenames.get());
    if (!package) {
        return nullptr;
    }
    PyRef destination = PyRef::borrow(output_path);
    // Checked as the file is written, after the last point where a signal handler could run.
    const bool written = write_file_atomically(st, destination.get(), [&](PyObject* file) {
        if (vocabulary_watch &&
            (vocabulary_watch->changed() || call.self->global_dict != vocabulary.get())) {
            PyErr_SetString(PyExc_ValueError,
                            "global_dict changed while encode_files gave ids and compressed the "
                            "stream; the package would not decode as packed, so none was written");
            return false;
        }
        return package_pickle.write(call, package.get(), compressed.get(), file);
    });
    if (!written) {
        return nullptr;
    }
    const Py_ssize_t compressed_length = PyObject_Size(compressed.get());
    return compressed_length < 0 ? nullptr : PyLong_FromSsize_t(compressed_length);
}

}  // namespace qvc
