// The packed token stream on its way into one Zstandard frame. With the binding's own
// compressor and worker threads, the frame is made in pieces as the stream is packed, from a
// compressor told the stream's size beforehand: its frame is then byte for byte the one a single
// `compress` of the whole stream makes. Otherwise (no worker threads, whose single-call frame
// differs, or a `zstd` that is not the binding) the stream is gathered and compressed in one
// `zstd.ZstdCompressor(level=..., threads=...).compress(stream)` call, after it is complete.
#pragma once

#include "compressor/compressor_object.hpp"

#include <cstddef>

namespace qvc {

class PackedStreamCompressor {
public:
    // For a stream of `total_bytes` bytes. Nothing fails here: an error of the compressor is kept
    // and raised by finish(), once every id was given, as a compressor made after that would.
    PackedStreamCompressor(MethodCall& call, size_t total_bytes);
    PackedStreamCompressor(const PackedStreamCompressor&) = delete;
    PackedStreamCompressor& operator=(const PackedStreamCompressor&) = delete;
    ~PackedStreamCompressor();

    // Whether a stream of `total_bytes` bytes would be compressed in pieces.
    static bool compresses_in_pieces(MethodCall& call, size_t total_bytes);

    size_t total_bytes() const noexcept { return total_bytes_; }

    // The next `length` bytes of the stream, which may be reused once this returns.
    void feed(const unsigned char* bytes, size_t length);

    // The frame, or null with the compressor's error (or a new one) set.
    PyRef finish();

private:
    void keep_error();

    MethodCall& call_;
    size_t total_bytes_;
    size_t fed_ = 0;
    PyRef error_;        // the compressor's error, raised by finish()
    PyRef compressing_;  // in pieces: the binding's compressobj
    PyRef pieces_;       // its output so far (a list of bytes)
    PyRef gathered_;     // in one call: the whole stream (bytes)
};

// `zstd.ZstdCompressor(level=zstd_level, threads=threads).compress(packed)`, with the names
// looked up in the module namespace.
PyRef compress_in_one_call(MethodCall& call, PyObject* packed);

}  // namespace qvc
