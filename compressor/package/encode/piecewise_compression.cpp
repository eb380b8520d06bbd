#include "compressor/package/encode/piecewise_compression.hpp"

#include "compressor/pyapi/interpreter_calls.hpp"

#include <algorithm>
#include <cstring>

namespace qvc {
namespace {

// Input pieces and output chunks: each call into the compressor returns within a few
// milliseconds, as soon as a chunk of the frame is ready or the piece was taken in.
constexpr size_t kPieceBytes = size_t{1} << 20;
constexpr long kChunkBytes = 1 << 17;

}  // namespace

PiecewiseCompression::~PiecewiseCompression() {
    if (finished_ || !chunker_) {
        return;
    }
    PendingError pending;
    PyObject* parts = PyTuple_Pack(3, compress_.get() ? compress_.get() : Py_None,
                                   chunker_.get(), compressor_.get());
    if (parts == nullptr) {
        PyErr_Clear();  // then released here after all, waiting for the jobs
        return;
    }
    replace_field(st_->abandoned_compression, parts);
}

bool PiecewiseCompression::start(PyObject* module, ModuleState* st, int32_t level,
                                 int32_t threads, PyObject* stream) {
    st_ = st;
    // Whatever an interrupted compression left running has long finished by now, as a rule.
    replace_field(st->abandoned_compression, nullptr);
    stream_ = PyRef::borrow(stream);
    PyRef zstd = module_global(module, st->s_zstd);
    PyRef compressor_class =
        zstd ? PyRef::steal(PyObject_GetAttr(zstd.get(), st->s_ZstdCompressor)) : PyRef{};
    PyRef level_object = PyRef::steal(PyLong_FromLong(level));
    PyRef threads_object = PyRef::steal(PyLong_FromLong(threads));
    PyRef keywords = PyRef::steal(PyTuple_Pack(2, st->s_level, st->s_threads));
    if (!compressor_class || !level_object || !threads_object || !keywords) {
        return false;
    }
    PyObject* settings[] = {level_object.get(), threads_object.get()};
    compressor_ = PyRef::steal(PyObject_Vectorcall(compressor_class.get(), settings, 0,
                                                   keywords.get()));
    if (!compressor_) {
        return false;
    }
    if (threads == 0) {
        return true;
    }
    PyRef chunker = optional_attr(compressor_.get(), st->s_chunker);
    if (!chunker) {
        return !PyErr_Occurred();
    }
    PyRef size = PyRef::steal(PyLong_FromSsize_t(PyBytes_GET_SIZE(stream)));
    PyRef chunk_size = PyRef::steal(PyLong_FromLong(kChunkBytes));
    PyRef chunker_keywords = PyRef::steal(PyTuple_Pack(2, st->s_size, st->s_chunk_size));
    chunks_ = PyRef::steal(PyList_New(0));
    if (!size || !chunk_size || !chunker_keywords || !chunks_) {
        return false;
    }
    PyObject* chunker_args[] = {size.get(), chunk_size.get()};
    chunker_ = PyRef::steal(PyObject_Vectorcall(chunker.get(), chunker_args, 0,
                                                chunker_keywords.get()));
    compress_ = chunker_ ? PyRef::steal(PyObject_GetAttr(chunker_.get(), st->s_compress))
                         : PyRef{};
    return static_cast<bool>(compress_);
}

bool PiecewiseCompression::take_chunks(PyObject* chunks) {
    PyRef iterator = PyRef::steal(PyObject_GetIter(chunks));
    if (!iterator) {
        return false;
    }
    while (PyRef chunk = PyRef::steal(PyIter_Next(iterator.get()))) {
        if (PyList_Append(chunks_.get(), chunk.get()) < 0 || PyErr_CheckSignals() != 0) {
            return false;
        }
    }
    return !PyErr_Occurred();
}

bool PiecewiseCompression::compress_up_to(size_t end) {
    if (!chunker_) {
        return true;
    }
    char* stream = PyBytes_AS_STRING(stream_.get());
    while (handed_over_ < end) {
        if (PyErr_CheckSignals() != 0) {
            return false;
        }
        const size_t n = std::min(kPieceBytes, end - handed_over_);
        PyRef piece = PyRef::steal(PyMemoryView_FromMemory(
            stream + handed_over_, static_cast<Py_ssize_t>(n), PyBUF_READ));
        PyRef chunks = piece ? call(compress_.get(), piece.get()) : PyRef{};
        if (!chunks || !take_chunks(chunks.get())) {
            return false;
        }
        handed_over_ += n;
    }
    return true;
}

PyRef PiecewiseCompression::finish() {
    if (!chunker_) {
        return call_method(compressor_.get(), st_->s_compress, stream_.get());
    }
    if (!compress_up_to(static_cast<size_t>(PyBytes_GET_SIZE(stream_.get())))) {
        return {};
    }
    PyRef chunks = call_method(chunker_.get(), st_->s_finish);
    if (!chunks || !take_chunks(chunks.get())) {
        return {};
    }
    finished_ = true;
    return joined_chunks();
}

PyRef PiecewiseCompression::joined_chunks() const {
    Py_ssize_t total = 0;
    const Py_ssize_t count = PyList_GET_SIZE(chunks_.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* chunk = PyList_GET_ITEM(chunks_.get(), i);
        if (!PyBytes_Check(chunk)) {
            PyErr_Format(PyExc_TypeError, "the compressor gave %.200s, not bytes",
                         Py_TYPE(chunk)->tp_name);
            return {};
        }
        total += PyBytes_GET_SIZE(chunk);
    }
    PyRef frame = PyRef::steal(PyBytes_FromStringAndSize(nullptr, total));
    if (!frame) {
        return {};
    }
    char* out = PyBytes_AS_STRING(frame.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* chunk = PyList_GET_ITEM(chunks_.get(), i);
        std::memcpy(out, PyBytes_AS_STRING(chunk), static_cast<size_t>(PyBytes_GET_SIZE(chunk)));
        out += PyBytes_GET_SIZE(chunk);
    }
    return frame;
}

}  // namespace qvc
