// Opening a restored file without following a symbolic link at its name: a link planted in the
// output directory would otherwise carry the write to wherever it points.
#pragma once

#include "compressor/pyapi/py_ref.hpp"

namespace qvc {

// A callable for the `opener` argument of the builtin `open`: opens the path with the flags
// `open` asks for plus O_NOFOLLOW and returns the descriptor. A symbolic link at the path's last
// component is refused with OSError (ELOOP) naming the path; links among its directories are
// followed as usual. Waits for the system, like `open` itself, with the interpreter let go of,
// and answers signals while a FIFO keeps it waiting.
PyRef new_no_symlink_opener(PyObject* module);

// The exception that opener raises when opening `path` failed with `error`: OSError (the
// subclass for the error) naming the path, or for a symbolic link at the path (`through_link`)
// one that says so.
void raise_open_failure(int error, PyObject* path, bool through_link);

}  // namespace qvc
