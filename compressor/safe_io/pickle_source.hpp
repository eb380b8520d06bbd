// What the restricted unpickler reads a dictionary file or package from: the bytes of one pickle
// stream, read from the real file only as far as the stream goes and checked opcode by opcode as
// they arrive (safe_io/pickle_stream_check.hpp), then served to the unpickler as a file-like
// object that answers signals between its reads.
#pragma once

#include "compressor/module_state.hpp"

#include <string>

namespace qvc {

PyTypeObject* create_pickle_source_type(PyObject* module);

// Reads one pickle stream from the binary file object `file` and returns the object to unpickle
// it from. A regular file is read in large pieces and its declared sizes judged against its size
// before their bytes are read; anything else (a FIFO, a device) is read as its bytes arrive, so
// that a stream which is complete is unpickled at once, whether or not more follows, and a
// declared size is only ever backed by bytes that came (one larger than the machine's memory is
// refused at once). Bytes after the STOP opcode are neither
// judged nor, beyond the last piece, read.
//
// Null with an exception set on failure; null with `problem` set, and no exception, when a
// declared size does not fit.
PyRef read_pickle_source(ModuleState* st, PyObject* file, std::string& problem);

}  // namespace qvc
