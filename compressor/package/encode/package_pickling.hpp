// Writing the package file. Where `pickle` is the interpreter's own module, the vocabulary is a
// dict of exact strs to exact ints and the stream is long enough that the pickler writes it
// outside its frames, everything after the stream is pickled on a thread of its own while the
// stream is still being compressed: the pickle protocol 4 the interpreter writes for such a
// dict, its lists, strs, bytes and ints (opcodes, memo, batches of 1000, frames of 64 KiB) is
// written here byte for byte, and the file gets the very bytes `pickle.dump(package, f)`
// writes. Otherwise `pickle.dump` runs, at its time.
#pragma once

#include "compressor/compressor_object.hpp"

#include <memory>

namespace qvc {

class PackagePickle {
public:
    PackagePickle();
    PackagePickle(const PackagePickle&) = delete;
    PackagePickle& operator=(const PackagePickle&) = delete;
    ~PackagePickle();

    // Starts pickling the package's other entries, when that cannot be told from pickling them
    // later. False only when a signal handler raised meanwhile.
    bool prepare(MethodCall& call, PyObject* file_boundaries, PyObject* filenames);

    // `pickle.dump(package, file)`, or the same bytes written from what prepare() made.
    bool write(MethodCall& call, PyObject* package, PyObject* compressed, PyObject* file);

private:
    class Tail;
    std::unique_ptr<Tail> tail_;
};

}  // namespace qvc
