#include "compressor/package/encode/stream_compression.hpp"

#include "compressor/pyapi/interpreter_calls.hpp"

#include <cstring>

namespace qvc {
namespace {

// Positions of the integer arguments among encode_files' parameters.
constexpr int kZstdLevelArgument = 2;
constexpr int kThreadsArgument = 3;

// zstd.ZstdCompressor(level=..., threads=...), from the class `compressor_class`.
PyRef new_compressor(MethodCall& call, PyObject* compressor_class) {
    ModuleState* st = call.state;
    PyRef level = PyRef::steal(PyLong_FromLong(call.args.ints[kZstdLevelArgument]));
    PyRef threads = PyRef::steal(PyLong_FromLong(call.args.ints[kThreadsArgument]));
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

}  // namespace

PyRef compress_in_one_call(MethodCall& call, PyObject* packed) {
    PyRef cls = compressor_class(call);
    PyRef compressor = cls ? new_compressor(call, cls.get()) : PyRef{};
    return compressor ? call_method(compressor.get(), call.state->s_compress, packed) : PyRef{};
}

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
           call.args.ints[kThreadsArgument] != 0;
}

PackedStreamCompressor::PackedStreamCompressor(MethodCall& call, size_t total_bytes)
    : call_(call), total_bytes_(total_bytes) {
    ModuleState* st = call.state;
    if (!compresses_in_pieces(call, total_bytes)) {
        gathered_ = PyRef::steal(
            PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total_bytes)));
        if (!gathered_) {
            keep_error();
        }
        return;
    }
    replace_field(st->abandoned_compression, nullptr);
    PyRef compressor = new_compressor(call, st->zstd_compressor_class);
    PyRef size = PyRef::steal(PyLong_FromSize_t(total_bytes));
    pieces_ = PyRef::steal(PyList_New(0));
    if (compressor && size && pieces_) {
        PyRef method = PyRef::steal(PyObject_GetAttr(compressor.get(), st->s_compressobj));
        PyRef args = PyRef::steal(PyTuple_New(0));
        PyRef kwargs = PyRef::steal(PyDict_New());
        if (method && args && kwargs && PyDict_SetItem(kwargs.get(), st->s_size, size.get()) == 0) {
            compressing_ = PyRef::steal(PyObject_Call(method.get(), args.get(), kwargs.get()));
        }
    }
    if (!compressing_) {
        keep_error();
    }
}

PackedStreamCompressor::~PackedStreamCompressor() {
    if (!compressing_) {
        return;
    }
    // A compression that did not finish: releasing it would wait for the jobs its worker
    // threads are on, so it is left to the module until the next compression starts.
    PendingError pending;
    PyObject* parts = PyTuple_Pack(1, compressing_.get());
    if (parts == nullptr) {
        PyErr_Clear();
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
    compressing_.reset();
    gathered_.reset();
}

void PackedStreamCompressor::feed(const unsigned char* bytes, size_t length) {
    if (error_ || length == 0) {
        return;
    }
    if (gathered_) {
        std::memcpy(PyBytes_AS_STRING(gathered_.get()) + fed_, bytes, length);
        fed_ += length;
        return;
    }
    PyRef view = PyRef::steal(PyMemoryView_FromMemory(
        reinterpret_cast<char*>(const_cast<unsigned char*>(bytes)),
        static_cast<Py_ssize_t>(length), PyBUF_READ));
    PyRef piece = view ? call_method(compressing_.get(), call_.state->s_compress, view.get())
                       : PyRef{};
    if (!piece || (PyBytes_GET_SIZE(piece.get()) != 0 &&
                   PyList_Append(pieces_.get(), piece.get()) < 0)) {
        keep_error();
        return;
    }
    fed_ += length;
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
    PyRef last = call_method(compressing_.get(), call_.state->s_flush);
    compressing_.reset();
    if (!last || PyList_Append(pieces_.get(), last.get()) < 0) {
        return {};
    }
    PyRef empty = PyRef::steal(PyBytes_FromStringAndSize(nullptr, 0));
    return empty ? call_method(empty.get(), call_.state->s_join, pieces_.get()) : PyRef{};
}

}  // namespace qvc
