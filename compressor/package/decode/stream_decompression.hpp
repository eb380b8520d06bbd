// Decompressing a package's token stream: one Zstandard frame whose header states its size, as
// the binding's one-shot `decompress` turns it into bytes, but a large one in pieces that answer
// signals between them.
#pragma once

#include "compressor/module_state.hpp"

namespace qvc {

// `zstd.ZstdDecompressor().decompress(compressed)`, with the module's `zstd`. A frame whose
// header claims more than a package may hold is refused first: the decompressor would allocate
// that much before reading a block. A large frame that is one well-formed frame and nothing
// else is read in pieces into a bytes object of the announced size; anything else (and a frame
// that turns out not to match its header) goes through the one-shot call, whose result or
// error stands.
PyRef decompress_stream(PyObject* module, ModuleState* st, PyObject* compressed);

}  // namespace qvc
