// Compressing the packed token stream into its one Zstandard frame a piece at a time, so that a
// long compression answers signals between pieces, and so that compressing can follow the
// packing while it is still going on.
#pragma once

#include "compressor/module_state.hpp"

#include <cstddef>
#include <cstdint>

namespace qvc {

// The frame is made by `zstd.ZstdCompressor(level=level, threads=threads)` of the module's
// `zstd`. With worker threads (threads != 0), the stream goes through the compressor's chunker
// with its size pledged up front; the frame is then byte for byte the one the one-shot
// `compress(stream)` makes, whatever the pieces. Without them the single-threaded streaming
// frame would differ, so the stream is compressed in one call at the end, which no signal
// interrupts. A compressor without a chunker is used the one-shot way too.
class PiecewiseCompression {
public:
    PiecewiseCompression() = default;
    PiecewiseCompression(const PiecewiseCompression&) = delete;
    PiecewiseCompression& operator=(const PiecewiseCompression&) = delete;
    // A compression that did not finish leaves its compressor to the module (see ModuleState):
    // the jobs its worker threads are on run to their end meanwhile, and the failure (Ctrl-C,
    // as a rule) need not wait for them.
    ~PiecewiseCompression();

    // `stream` is the packed stream, a bytes object already of its final size, filled from the
    // front; it is compressed as far as it is handed over.
    bool start(PyObject* module, ModuleState* st, int32_t level, int32_t threads,
               PyObject* stream);

    // Compresses the stream's bytes up to `end` (not before what was handed over already).
    bool compress_up_to(size_t end);

    // Compresses the rest and ends the frame: the compressed stream (bytes).
    PyRef finish();

private:
    bool take_chunks(PyObject* chunks);
    PyRef joined_chunks() const;

    ModuleState* st_ = nullptr;
    PyRef stream_;
    PyRef compressor_;
    PyRef chunker_;
    PyRef compress_;  // chunker.compress
    PyRef chunks_;    // list of the frame's pieces so far
    size_t handed_over_ = 0;
    bool finished_ = false;
};

}  // namespace qvc
