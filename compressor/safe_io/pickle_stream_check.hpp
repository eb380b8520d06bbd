// A walk over a pickle stream's opcodes, before it is unpickled, that refuses what would make
// the interpreter's unpickler allocate far more memory than the stream holds: a length field
// larger than the rest of the stream (the unpickler allocates the declared size up front) and a
// memo index far beyond any a pickler writes (the unpickler grows and clears its memo table to
// twice the index).
#pragma once

#include <cstddef>
#include <string>

namespace qvc {

// True when the stream's declared sizes fit; otherwise false with `problem` set to the message
// of the UnpicklingError to raise. Opcodes the walk does not know end it: the unpickler stops
// at them too, with its own error.
bool pickle_sizes_fit(const unsigned char* data, size_t size, std::string& problem);

}  // namespace qvc
