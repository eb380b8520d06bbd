// encode_files: packs UTF-8 text files into one package file. Phase 1 reads and tokenizes every
// file and changes nothing; phase 2 gives the tokens their ids (package/encode/id_assignment.cpp);
// phase 3 compresses the stream and writes the package.
#include "compressor/safe_io/atomic_file.hpp"
#include "compressor/pyapi/interpreter_calls.hpp"
#include "compressor/methods.hpp"
#include "compressor/package/encode/id_assignment.hpp"
#include "compressor/package/encode/native_reading.hpp"
#include "compressor/package/encode/package_pickling.hpp"
#include "compressor/package/encode/stream_compression.hpp"
#include "compressor/package/package_format.hpp"
#include "compressor/pyapi/signal_poll.hpp"
#include "compressor/tokenize/whitespace_scanner.hpp"

namespace qvc {
namespace {

// ---------------------------------------------------------------------------------------------
// Phase 1

// The number of tokens of `text`; false when a signal handler raised meanwhile.
bool count_text_tokens(PyObject* text, size_t& count) {
    const size_t length = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
    SignalPoll poll(kCodePointsBetweenChecks);
    auto keep_going = [&poll](size_t code_points) { return poll.tick(code_points); };
    std::optional<size_t> counted;
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            counted = count_tokens(PyUnicode_1BYTE_DATA(text), length, keep_going);
            break;
        case PyUnicode_2BYTE_KIND:
            counted = count_tokens(PyUnicode_2BYTE_DATA(text), length, keep_going);
            break;
        default:
            counted = count_tokens(PyUnicode_4BYTE_DATA(text), length, keep_going);
            break;
    }
    count = counted.value_or(0);
    return counted.has_value();
}

// True when `method`, the object's `tokenize` attribute, is the class's own method bound to it.
bool is_builtin_tokenize(ModuleState* st, PyObject* method, PyObject* self) {
    return PyMethod_Check(method) && PyMethod_GET_FUNCTION(method) == st->tokenize_function &&
           PyMethod_GET_SELF(method) == self;
}

// The file's tokens as `self.tokenize(text)` gives them: the list an override returns, or for the
// built-in split just the count (the split itself has no effects; it is done by
// number_builtin_tokens once the count is known to fit).
bool tokenize_text(MethodCall& call, PyObject* text, TokenizedFile& out) {
    ModuleState* st = call.state;
    PyObject* self = call.self_object();
    bool builtin = Py_TYPE(self) == st->compressor_type;
    if (!builtin) {
        PyRef method = PyRef::steal(PyObject_GetAttr(self, st->s_tokenize));
        if (!method) {
            return false;
        }
        builtin = is_builtin_tokenize(st, method.get(), self);
        if (!builtin) {
            PyRef result = qvc::call(method.get(), text);
            if (!result) {
                return false;
            }
            if (result.get() == Py_None) {
                PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
                return false;
            }
            if (!PyList_CheckExact(result.get())) {
                return raise_expected_type("list", result.get());
            }
            // What extending the token list would have copied, as it stands now.
            out.tokens = PyRef::steal(PyList_GetSlice(result.get(), 0, PY_SSIZE_T_MAX));
            if (!out.tokens) {
                return false;
            }
            out.count = static_cast<size_t>(PyList_GET_SIZE(out.tokens.get()));
            return true;
        }
    }
    if (text == Py_None) {
        // The built-in tokenize refuses None with the regular-expression search's own error.
        PyRef refused = qvc::call(st->tokenize_function, self, text);
        return static_cast<bool>(refused);
    }
    return count_text_tokens(text, out.count);
}

// Numbers the tokens of a file split by the built-in rule, so that its text need not be kept.
bool number_builtin_tokens(TokenizedFiles& files, PyObject* text, TokenizedFile& file) {
    file.numbers = files.numbers.allocate(file.count);
    if (!files.distinct.number_text(text, file.numbers.numbers, file.count)) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError,
                            "encode_files: a text's tokens changed between two scans");
        }
        return false;
    }
    return true;
}

// Steps 2 to 6 for one open file.
bool read_tokenized_file(MethodCall& call, PyObject* path, PyObject* file, TokenizedFiles& files,
                         PyObject* file_boundaries, PyObject* filenames) {
    ModuleState* st = call.state;
    PyRef text = call_method(file, st->s_read);
    if (!text) {
        return false;
    }
    if (!PyUnicode_CheckExact(text.get()) && text.get() != Py_None) {
        return raise_expected_type("str", text.get());
    }
    TokenizedFile tokenized;
    if (!tokenize_text(call, text.get(), tokenized)) {
        return false;
    }
    if (tokenized.count > kMaxPackageTokens - files.total_tokens) {
        return raise_too_many_tokens();
    }
    if (!tokenized.tokens && !number_builtin_tokens(files, text.get(), tokenized)) {
        return false;
    }
    files.total_tokens += tokenized.count;
    files.files.push_back(std::move(tokenized));
    return record_file(call, path, files.total_tokens, file_boundaries, filenames);
}

bool read_all_files(MethodCall& call, PyObject* filepaths, TokenizedFiles& files,
                    PyObject* file_boundaries, PyObject* filenames) {
    ModuleState* st = call.state;
    // As a for loop walks a list: the length is read again at every step.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(filepaths); ++i) {
        if (PyErr_CheckSignals() != 0) {
            return false;
        }
        PyRef path = PyRef::borrow(PyList_GET_ITEM(filepaths, i));
        PyRef file = open_file(st, path.get(), st->s_mode_r, st->s_utf8);
        if (!file) {
            return false;
        }
        const bool read = read_tokenized_file(call, path.get(), file.get(), files,
                                              file_boundaries, filenames);
        if (!close_file(st, file.get()) || !read) {
            return false;
        }
    }
    return true;
}

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
    PyRef compressed;
    PackagePickle package_pickle;
    std::unique_ptr<NativelyReadFiles> native;
    NativeReading reading = NativeReading::kNotStarted;
    const EncodePlan plan = choose_encode_plan(call);
    if (plan.native_reading) {
        reading = read_files_natively(call, plan, paths.get(), file_boundaries.get(),
                                      filenames.get(), native);
    }
    if (reading == NativeReading::kFailed) {
        return nullptr;
    }
    if (reading == NativeReading::kDone) {
        TokenStream& stream = native->worker.stream();
        bool early_ids_kept = false;
        if (!native->ids.commit_early(native->strs, &early_ids_kept)) {
            return nullptr;
        }
        auto compressor = std::make_unique<PackedStreamCompressor>(call, 4 * stream.size());
        // The package's other entries are pickled while the compressor's threads work.
        if (!native->ids.assign_and_compress(native->strs, stream, *compressor, [&] {
                return package_pickle.prepare(call, file_boundaries.get(), filenames.get());
            })) {
            return nullptr;
        }
        native.reset();
        compressed = compressor->finish();
    } else {
        TokenizedFiles files;
        if (!read_all_files(call, paths.get(), files, file_boundaries.get(), filenames.get())) {
            return nullptr;
        }
        PyRef packed = assign_ids_and_pack(st, call.self, files);
        files.release();
        if (!packed) {
            return nullptr;
        }
        compressed = compress_packed_stream(call, packed.get());
    }
    if (!compressed) {
        return nullptr;
    }

    PyRef package = build_package(st, call.self, compressed.get(), file_boundaries.get(),
                                  filenames.get());
    if (!package) {
        return nullptr;
    }
    PyRef destination = PyRef::borrow(output_path);
    const bool written = write_file_atomically(st, destination.get(), [&](PyObject* file) {
        return package_pickle.write(call, package.get(), compressed.get(), file);
    });
    if (!written) {
        return nullptr;
    }
    const Py_ssize_t compressed_length = PyObject_Size(compressed.get());
    return compressed_length < 0 ? nullptr : PyLong_FromSsize_t(compressed_length);
}

}  // namespace qvc
