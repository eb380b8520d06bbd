// What pickle.dump writes a package or dictionary file to: a file-like object whose `write`
// hands its data on to the real file in pieces and answers signals between them, so that
// writing hundreds of megabytes can be interrupted.
#pragma once

#include "compressor/module_state.hpp"

namespace qvc {

PyTypeObject* create_interruptible_writer_type(PyObject* module);

// A writer that passes everything on to `file.write` (new reference).
PyRef interruptible_writer(ModuleState* st, PyObject* file);

}  // namespace qvc
