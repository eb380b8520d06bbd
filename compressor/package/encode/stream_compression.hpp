// The packed token stream on its way into one Zstandard frame. With the binding's own
// compressor and worker threads, the frame is made a piece at a time as the stream is packed,
// through the compressor's chunker with the stream's size pledged up front: the frame is then
// byte for byte the one a single `compress` of the whole stream makes, whatever the pieces, and
// a long compression answers signals between pieces. Otherwise (no worker threads, whose
// single-call frame differs, or a `zstd` that is not the binding) the stream is gathered and
// compressed in one `zstd.ZstdCompressor(level=..., threads=...).compress(stream)` call, after it
// is complete, which no signal interrupts.
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
    // A compression that did not finish leaves its compressor to the module (see ModuleState):
    // the jobs its worker threads are on run to their end meanwhile, and the failure (Ctrl-C,
    // as a rule) need not wait for them.
    ~PackedStreamCompressor();

    // Whether a stream of `total_bytes` bytes would be compressed in pieces.
    static bool compresses_in_pieces(MethodCall& call, size_t total_bytes);


    // The next `length` bytes of the stream, which may be reused once this returns. False only
    // when a signal handler raised meanwhile, with its exception set.
    bool feed(const unsigned char* bytes, size_t length);

    // The frame, or null with the compressor's error (or a new one) set.
    PyRef finish();

private:
    void keep_error();
    // Appends the chunks that `chunks` yields to the frame. False with an error set;
    // `*interrupted` tells whether a signal handler raised it.
    bool take_chunks(PyObject* chunks, bool* interrupted);

    MethodCall& call_;
    size_t total_bytes_;
    size_t fed_ = 0;
    PyRef error_;       // the compressor's error, raised by finish()
    PyRef compressor_;  // in pieces: the binding's compressor,
    PyRef chunker_;     // its chunker
    PyRef compress_;    // and chunker.compress
    PyRef pieces_;      // the frame so far (a list of bytes)
    PyRef gathered_;    // in one call: the whole stream (bytes)
    bool finished_ = false;
};

}  // namespace qvc
