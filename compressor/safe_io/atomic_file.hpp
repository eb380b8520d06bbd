// Replacing a file whole: the new content goes to a temporary file beside it, which is renamed
// over the old one only once it is complete, so a failure never leaves a truncated file.
#pragma once

#include "compressor/module_state.hpp"

#include <functional>

namespace qvc {

// Writes the file at `path` (anything `open` takes as a path: str, bytes, os.PathLike) by handing
// `write_contents` a binary file object (the builtin `open(fd, "wb")`) on a new temporary file in
// the same directory, then renaming that over `path`. A symlink at `path` is followed, so the
// link keeps pointing where it did. An existing file keeps its permission bits; a new one gets
// those a plain `open` would give. Errors are the ones a plain `open(path, "wb")` raises
// (FileNotFoundError, PermissionError, IsADirectoryError, TypeError), naming `path`. On any
// failure the temporary file is removed and an existing file at `path` is untouched.
bool write_file_atomically(ModuleState* st, PyObject* path,
                           const std::function<bool(PyObject* file)>& write_contents);

}  // namespace qvc
