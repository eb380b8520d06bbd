#include "compressor/package/decode/stream_decompression.hpp"

#include "compressor/package/package_format.hpp"
#include "compressor/package/zstd_frame_header.hpp"
#include "compressor/pyapi/interpreter_calls.hpp"

#include <algorithm>

namespace qvc {
namespace {

// Frames of less than this decompress in a few milliseconds: one call.
constexpr uint64_t kStreamFrom = uint64_t{1} << 24;
// Each piece takes some milliseconds.
constexpr Py_ssize_t kPieceBytes = Py_ssize_t{1} << 23;
constexpr long kReadSize = 1 << 17;

// The decompressor allocates whatever size the frame header announces, before it has read a
// single block: a few bytes could otherwise ask for a terabyte.
bool refuse_oversized_frame(PyObject* compressed) {
    if (!PyObject_CheckBuffer(compressed)) {
        return true;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(compressed, &view, PyBUF_SIMPLE) < 0) {
        PyErr_Clear();  // the decompressor refuses it with its own error
        return true;
    }
    std::optional<uint64_t> content_size = frame_content_size(
        static_cast<const unsigned char*>(view.buf), static_cast<size_t>(view.len));
    PyBuffer_Release(&view);
    if (content_size && *content_size > kMaxStreamBytes) {
        PyErr_Format(PyExc_ValueError,
                     "refusing to decompress a frame of %llu bytes: a package stream holds at "
                     "most %llu bytes",
                     static_cast<unsigned long long>(*content_size),
                     static_cast<unsigned long long>(kMaxStreamBytes));
        return false;
    }
    return true;
}

// The content size of a frame worth reading in pieces: a large one that makes up the whole of
// `compressed` (an immutable bytes object, so that nothing changes it meanwhile).
std::optional<uint64_t> size_to_stream(PyObject* compressed) {
    if (!PyBytes_CheckExact(compressed)) {
        return std::nullopt;
    }
    const auto* data = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(compressed));
    const size_t size = static_cast<size_t>(PyBytes_GET_SIZE(compressed));
    const std::optional<uint64_t> content_size = frame_content_size(data, size);
    if (!content_size || *content_size < kStreamFrom || frame_length(data, size) != size) {
        return std::nullopt;
    }
    return content_size;
}

enum class Streamed { kDone, kFailed, kMismatch };

// Reads the frame through `decompressor.stream_reader` into `out`, which is exactly the size the
// header states. kMismatch when the binding's reader fails or the frame's content does not fill
// `out` exactly: the one-shot call then decides.
Streamed read_in_pieces(ModuleState* st, PyObject* decompressor, PyObject* compressed,
                        PyObject* out) {
    PyRef read_size = PyRef::steal(PyLong_FromLong(kReadSize));
    PyRef keywords = PyRef::steal(PyTuple_Pack(1, st->s_read_size));
    if (!read_size || !keywords) {
        return Streamed::kFailed;
    }
    PyRef stream_reader = optional_attr(decompressor, st->s_stream_reader);
    if (!stream_reader) {
        return PyErr_Occurred() ? Streamed::kFailed : Streamed::kMismatch;
    }
    PyObject* args[] = {compressed, read_size.get()};
    PyRef reader = PyRef::steal(PyObject_Vectorcall(stream_reader.get(), args, 1, keywords.get()));
    PyRef readinto = reader ? PyRef::steal(PyObject_GetAttr(reader.get(), st->s_readinto)) : PyRef{};
    if (!readinto) {
        PyErr_Clear();
        return Streamed::kMismatch;
    }
    char* buffer = PyBytes_AS_STRING(out);
    const Py_ssize_t size = PyBytes_GET_SIZE(out);
    // One byte past the end, to see that the frame ends where its header says.
    char past_end;
    for (Py_ssize_t at = 0; at <= size;) {
        if (PyErr_CheckSignals() != 0) {
            return Streamed::kFailed;
        }
        const Py_ssize_t n = at < size ? std::min(kPieceBytes, size - at) : 1;
        PyRef view = PyRef::steal(
            PyMemoryView_FromMemory(at < size ? buffer + at : &past_end, n, PyBUF_WRITE));
        PyRef got = view ? call(readinto.get(), view.get()) : PyRef{};
        if (!got) {
            if (!view) {
                return Streamed::kFailed;
            }
            PyErr_Clear();
            return Streamed::kMismatch;
        }
        const Py_ssize_t count = PyLong_Check(got.get()) ? PyLong_AsSsize_t(got.get()) : -1;
        if (count < 0 || count > n) {
            PyErr_Clear();
            return Streamed::kMismatch;
        }
        if (at == size) {
            return count == 0 ? Streamed::kDone : Streamed::kMismatch;
        }
        if (count == 0) {
            return Streamed::kMismatch;  // the frame holds less than its header says
        }
        at += count;
    }
    return Streamed::kMismatch;
}

}  // namespace

PyRef decompress_stream(PyObject* module, ModuleState* st, PyObject* compressed) {
    if (!refuse_oversized_frame(compressed)) {
        return {};
    }
    PyRef zstd = module_global(module, st->s_zstd);
    PyRef decompressor_type =
        zstd ? PyRef::steal(PyObject_GetAttr(zstd.get(), st->s_ZstdDecompressor)) : PyRef{};
    PyRef decompressor = decompressor_type ? call(decompressor_type.get()) : PyRef{};
    if (!decompressor) {
        return {};
    }
    if (const std::optional<uint64_t> content_size = size_to_stream(compressed)) {
        PyRef out = PyRef::steal(
            PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(*content_size)));
        if (!out) {
            return {};
        }
        switch (read_in_pieces(st, decompressor.get(), compressed, out.get())) {
            case Streamed::kDone:
                return out;
            case Streamed::kFailed:
                return {};
            case Streamed::kMismatch:
                break;
        }
        out.reset();
        // A fresh decompressor, as the one-shot call is made with one.
        decompressor = call(decompressor_type.get());
        if (!decompressor) {
            return {};
        }
    }
    return call_method(decompressor.get(), st->s_decompress, compressed);
}

}  // namespace qvc
