// Replacing a file whole: the new content goes to a temporary file beside it, which is flushed to
// the disk and renamed over the old one only once it is complete, so a failure or a crash never
// leaves a truncated file.
#pragma once

#include "compressor/module_state.hpp"

#include <functional>

namespace qvc {

// Writes the file at `path` (anything `open` takes as a path: str, bytes, os.PathLike) by handing
// `write_contents` a binary file-like object that answers signals between large writes.
//
// A regular file with one link, or no file at all, is replaced: the content goes to a new
// temporary file in the same directory, which is synced and renamed over `path`, and the
// directory is synced after. A symlink at `path` is followed, so the link keeps pointing where
// it did. An existing file keeps its permission bits; a new one gets those a plain `open` would
// give. On any failure the temporary file is removed and an existing file at `path` is untouched.
//
// Anything else that `open(path, "wb")` can write (a device, a FIFO, a socket's path, a file
// shared by several hard links, a pipe behind /dev/stdout) is written in place exactly as that
// call would write it: replacing it would cut it off from whoever else uses it. So is a file
// whose directory does not let us create the temporary file.
//
// Errors are the ones a plain `open(path, "wb")` raises (FileNotFoundError, PermissionError,
// IsADirectoryError, TypeError), naming the path as that call does (a path-like object by the
// str or bytes its __fspath__ gives), or those of writing and syncing.
bool write_file_atomically(ModuleState* st, PyObject* path,
                           const std::function<bool(PyObject* file)>& write_contents);

}  // namespace qvc
