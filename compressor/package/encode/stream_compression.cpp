#include "compressor/package/encode/stream_compression.hpp"

#include "compressor/method_params.hpp"
#include "compressor/pyapi/interpreter_calls.hpp"

#include <algorithm>
#include <cstring>

namespace qvc {
namespace {

// Input pieces and output chunks: each call into the compressor returns within a few
// milliseconds, as soon as a chunk of the frame is ready or the piece was taken in.
constexpr size_t kPieceBytes = size_t{1} << 20;
constexpr long kChunkBytes = 1 << 17;

// zstd.ZstdCompressor(level=..., threads=...), from the class `compressor_class`.
PyRef new_compressor(MethodCall& call, PyObject* compressor_class) {
    ModuleState* st = call.state;
    PyRef level = PyRef::steal(PyLong_FromLong(EncodeParams(call.args).zstd_level));
    PyRef threads = PyRef::steal(PyLong_FromLong(EncodeParams(call.args).threads));
    PyRef no_args = PyRef::steal(PyTuple_New(0));
    PyRef kwargs = PyRef::steal(PyDict_New());
    if (!level || !threads || !no_args || !kwargs ||
        PyDict_SetItem(kwargs.get(), st->s_level, level.get()) < 0 ||
        PyDict_SetItem(kwargs.get(), st->s_threads, threads.get()) < 0) {
        return {};
    }
    return PyRef::steal(PyObject_Call(compressor_class, no_args.get(), kwargs.get()));
}

PyRef compressor_class(MethodCall& call) {
    PyRef zstd = module_global(call.module, call.state->s_zstd);
    return zstd ? PyRef::steal(PyObject_GetAttr(zstd.get(), call.state->s_ZstdCompressor))
                : PyRef{};
}

// `zstd.ZstdCompressor(level=..., threads=...).compress(packed)`, with the names looked up in
// the module namespace.
PyRef compress_in_one_call(MethodCall& call, PyObject* packed) {
    PyRef cls = compressor_class(call);
    PyRef compressor = cls ? new_compressor(call, cls.get()) : PyRef{};
    return compressor ? call_method(compressor.get(), call.state->s_compress, packed) : PyRef{};
}

// compressor.chunker(size=total_bytes, chunk_size=...), or null (with no error set where the
// compressor has no chunker).
PyRef new_chunker(ModuleState* st, PyObject* compressor, size_t total_bytes) {
    PyRef chunker = optional_attr(compressor, st->s_chunker);
    if (!chunker) {
        return {};
    }
    PyRef size = PyRef::steal(PyLong_FromSize_t(total_bytes));
    PyRef chunk_size = PyRef::steal(PyLong_FromLong(kChunkBytes));
    PyRef keywords = PyRef::steal(PyTuple_Pack(2, st->s_size, st->s_chunk_size));
    if (!size || !chunk_size || !keywords) {
        return {};
    }
    PyObject* args[] = {size.get(), chunk_size.get()};
    return PyRef::steal(PyObject_Vectorcall(chunker.get(), args, 0, keywords.get()));
}

}  // namespace

bool PackedStreamCompressor::compresses_in_pieces(MethodCall& call, size_t total_bytes) {
    ModuleState* st = call.state;
    // Only where `zstd` is still the binding imported with the module: looking its class up
    // then runs no code of the caller's, and does not happen a second time where they see it.
    PyObject* zstd = PyDict_GetItemWithError(PyModule_GetDict(call.module), st->s_zstd);
    PyRef cls;
    if (zstd != nullptr && zstd == st->zstd_module) {
        cls = optional_attr(zstd, st->s_ZstdCompressor);
    }
    PyErr_Clear();
    return cls && cls.get() == st->zstd_compressor_class && total_bytes > 0 &&
           EncodeParams(call.args).threads != 0;
}

PackedStreamCompressor::PackedStreamCompressor(MethodCall& call, size_t total_bytes)
    : call_(call), total_bytes_(total_bytes) {
    ModuleState* st = call.state;
    // Whatever an interrupted compression left running has long finished by now, as a rule.
    replace_field(st->abandoned_compression, nullptr);
    if (compresses_in_pieces(call, total_bytes)) {
        compressor_ = new_compressor(call, st->zstd_compressor_class);
        chunker_ = compressor_ ? new_chunker(st, compressor_.get(), total_bytes) : PyRef{};
        compress_ = chunker_ ? PyRef::steal(PyObject_GetAttr(chunker_.get(), st->s_compress))
                             : PyRef{};
        pieces_ = compress_ ? PyRef::steal(PyList_New(0)) : PyRef{};
        if (pieces_) {
            return;
        }
        if (PyErr_Occurred()) {
            keep_error();
            return;
        }
        // A binding without a chunker: its frame is made in one call.
        compressor_.reset();
    }
    gathered_ = PyRef::steal(
        PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total_bytes)));
    if (!gathered_) {
        keep_error();
    }
}

PackedStreamCompressor::~PackedStreamCompressor() {
    if (finished_ || !chunker_ || !thread_may_use_interpreter()) {
        return;
    }
    PendingError pending;
    PyObject* parts = PyTuple_Pack(3, compress_.get() ? compress_.get() : Py_None,
                                   chunker_.get(), compressor_.get());
    if (parts == nullptr) {
        PyErr_Clear();  // then released here after all, waiting for the jobs
        return;
    }
    replace_field(call_.state->abandoned_compression, parts);
}

void PackedStreamCompressor::keep_error() {
    if (!error_) {
        error_ = take_exception();
    } else {
        PyErr_Clear();
    }
    gathered_.reset();
    pieces_.reset();
}

bool PackedStreamCompressor::take_chunks(PyObject* chunks, bool* interrupted) {
    *interrupted = false;
    PyRef iterator = PyRef::steal(PyObject_GetIter(chunks));
    if (!iterator) {
        return false;
    }
    while (PyRef chunk = PyRef::steal(PyIter_Next(iterator.get()))) {
        if (PyList_Append(pieces_.get(), chunk.get()) < 0) {
            return false;
        }
        if (PyErr_CheckSignals() != 0) {
            *interrupted = true;
            return false;
        }
    }
    return !PyErr_Occurred();
}

bool PackedStreamCompressor::feed(const unsigned char* bytes, size_t length) {
    if (error_ || length == 0) {
        return true;
    }
    if (gathered_) {
        std::memcpy(PyBytes_AS_STRING(gathered_.get()) + fed_, bytes, length);
        fed_ += length;
        return true;
    }
    for (size_t done = 0; done < length;) {
        if (PyErr_CheckSignals() != 0) {
            return false;
        }
        const size_t n = std::min(kPieceBytes, length - done);
        PyRef view = PyRef::steal(PyMemoryView_FromMemory(
            reinterpret_cast<char*>(const_cast<unsigned char*>(bytes + done)),
            static_cast<Py_ssize_t>(n), PyBUF_READ));
        PyRef chunks = view ? call(compress_.get(), view.get()) : PyRef{};
        bool interrupted = false;
        if (!chunks || !take_chunks(chunks.get(), &interrupted)) {
            if (interrupted) {
                return false;
            }
            keep_error();
            return true;
        }
        done += n;
        fed_ += n;
    }
    return true;
}

PyRef PackedStreamCompressor::finish() {
    if (error_) {
        raise_exception(std::move(error_));
        return {};
    }
    if (gathered_) {
        PyRef packed = std::move(gathered_);
        return compress_in_one_call(call_, packed.get());
    }
    PyRef chunks = call_method(chunker_.get(), call_.state->s_finish);
    bool interrupted = false;
    if (!chunks || !take_chunks(chunks.get(), &interrupted)) {
        return {};
    }
    finished_ = true;
    PyRef empty = PyRef::steal(PyBytes_FromStringAndSize(nullptr, 0));
    return empty ? call_method(empty.get(), call_.state->s_join, pieces_.get()) : PyRef{};
}

}  // namespace qvc
