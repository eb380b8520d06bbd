#include "compressor/safe_io/pickle_source.hpp"

#include "compressor/pyapi/interpreter_calls.hpp"
#include "compressor/pyapi/signal_poll.hpp"
#include "compressor/safe_io/pickle_stream_check.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace qvc {
namespace {

// ---------------------------------------------------------------------------------------------
// Reading the stream

// A growing byte buffer whose storage can be handed over.
class StreamBuffer {
public:
    StreamBuffer() = default;
    StreamBuffer(const StreamBuffer&) = delete;
    StreamBuffer& operator=(const StreamBuffer&) = delete;
    ~StreamBuffer() { std::free(data_); }

    unsigned char* data() const noexcept { return data_; }
    size_t size() const noexcept { return size_; }

    // Room for at least `capacity` bytes; `exact`: for just that many, else with room to grow
    // into. Throws std::bad_alloc. Large blocks come straight from the system, which commits
    // their pages only as the stream fills them.
    void reserve(uint64_t capacity, bool exact) {
        if (capacity <= capacity_) {
            return;
        }
        if (!exact) {
            capacity = std::max<uint64_t>(capacity, 2 * uint64_t{capacity_});
        }
        if (capacity > PY_SSIZE_T_MAX) {
            throw std::bad_alloc();
        }
        void* grown = std::realloc(data_, static_cast<size_t>(capacity));
        if (grown == nullptr) {
            throw std::bad_alloc();
        }
        data_ = static_cast<unsigned char*>(grown);
        capacity_ = static_cast<size_t>(capacity);
    }
    unsigned char* tail() noexcept { return data_ + size_; }
    size_t room() const noexcept { return capacity_ - size_; }
    void grow_by(size_t n) noexcept { size_ += n; }
    void shrink_to(size_t size) noexcept { size_ = size; }

    unsigned char* release() noexcept {
        size_ = capacity_ = 0;
        return std::exchange(data_, nullptr);
    }

private:
    unsigned char* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// A regular file's size, when the file object stands on one; otherwise nothing.
std::optional<uint64_t> regular_file_size(ModuleState* st, PyObject* file) {
    PyRef fileno = call_method(file, st->s_fileno);
    if (!fileno) {
        PyErr_Clear();  // not a file of the system's (io.BytesIO, say): read it as it comes
        return std::nullopt;
    }
    const long fd = PyLong_AsLong(fileno.get());
    struct stat info;
    if (fd == -1 || fstat(static_cast<int>(fd), &info) != 0) {
        PyErr_Clear();
        return std::nullopt;
    }
    // A file of /proc claims size 0 whatever it holds: such a size says nothing.
    if (!S_ISREG(info.st_mode) || info.st_size <= 0) {
        return std::nullopt;
    }
    return static_cast<uint64_t>(info.st_size);
}

// The machine's memory: no stream of unknown size can declare more and be read.
uint64_t physical_memory() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    return pages > 0 && page_size > 0 ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size)
                                      : UINT64_MAX;
}

// Up to `n` bytes appended to `buffer` with one `readinto1(b)` of the file: one read of the
// system at most, which waits only until some bytes are there. 0 at the end of the file.
bool read_some(PyObject* readinto1, StreamBuffer& buffer, size_t n, size_t& got) {
    buffer.reserve(uint64_t{buffer.size()} + n, false);
    PyRef view = PyRef::steal(PyMemoryView_FromMemory(reinterpret_cast<char*>(buffer.tail()),
                                                      static_cast<Py_ssize_t>(n), PyBUF_WRITE));
    PyRef result = view ? call(readinto1, view.get()) : PyRef{};
    if (!result) {
        return false;
    }
    const Py_ssize_t count = PyLong_Check(result.get()) ? PyLong_AsSsize_t(result.get()) : -1;
    if (count < 0 || static_cast<size_t>(count) > n) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_TypeError, "readinto1() returned %R, not a byte count up to %zu",
                         result.get(), n);
        }
        return false;
    }
    buffer.grow_by(static_cast<size_t>(count));
    got = static_cast<size_t>(count);
    return true;
}

// Pieces of a regular file: large enough that reading costs no more than one read of the whole,
// small enough that signals are answered in between.
constexpr size_t kFilePiece = size_t{1} << 24;
// What a read asks for at least when the walk needs just a few bytes more.
constexpr size_t kStreamPiece = size_t{1} << 16;
// Opcodes walked between two checks for signals.
constexpr size_t kOpcodesBetweenChecks = size_t{1} << 16;

// How much the next read asks for: what the walk needs, in pieces, and of a regular file
// whatever is left of it up to a piece (its end shows when a read brings nothing).
size_t next_read_size(uint64_t wanted, size_t have, const std::optional<uint64_t>& size) {
    uint64_t n = std::max<uint64_t>(wanted, kStreamPiece);
    if (size && *size > have) {
        n = std::max<uint64_t>(wanted, *size - have);
    }
    return static_cast<size_t>(std::min<uint64_t>(n, kFilePiece));
}

// Reads and checks the stream until the walk ends; `end` is then its length.
bool read_checked_stream(ModuleState* st, PyObject* file, StreamBuffer& buffer, size_t& end,
                         std::string& problem) {
    const std::optional<uint64_t> size = regular_file_size(st, file);
    PyRef readinto1 = PyRef::steal(PyObject_GetAttr(file, st->s_readinto1));
    if (!readinto1) {
        return false;
    }
    PickleStreamCheck check(size, physical_memory());
    bool complete = false;
    while (true) {
        switch (check.walk(buffer.data(), buffer.size(), complete, kOpcodesBetweenChecks)) {
            case PickleStreamCheck::Verdict::End:
                end = check.end();
                return true;
            case PickleStreamCheck::Verdict::Refused:
                problem = check.problem();
                return false;
            case PickleStreamCheck::Verdict::Paused:
                break;
            case PickleStreamCheck::Verdict::NeedBytes: {
                // What a regular file declares it holds; a stream of unknown size grows with
                // what actually arrives.
                if (size) {
                    buffer.reserve(check.needed(), true);
                }
                size_t got = 0;
                if (!read_some(readinto1.get(), buffer,
                               next_read_size(check.needed() - buffer.size(), buffer.size(), size),
                               got)) {
                    return false;
                }
                complete = got == 0;
                break;
            }
        }
        if (PyErr_CheckSignals() != 0) {
            return false;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Serving it to the unpickler

struct SourceObject {
    PyObject_HEAD
    unsigned char* data;
    size_t size;
    size_t position;
};

SourceObject* as_source(PyObject* obj) { return reinterpret_cast<SourceObject*>(obj); }

size_t left_in(SourceObject* source) { return source->size - source->position; }

// How many bytes a read of `requested` (negative: all) takes.
size_t read_size(SourceObject* source, Py_ssize_t requested) {
    const size_t left = left_in(source);
    return requested < 0 ? left : std::min(left, static_cast<size_t>(requested));
}

// Copies the next `n` bytes to `out`, answering signals between large pieces.
bool copy_out(SourceObject* source, char* out, size_t n) {
    for (size_t done = 0; done < n;) {
        if (PyErr_CheckSignals() != 0) {
            return false;
        }
        const size_t piece = std::min(n - done, kBytesBetweenChecks);
        std::memcpy(out + done, source->data + source->position, piece);
        source->position += piece;
        done += piece;
    }
    return PyErr_CheckSignals() == 0;
}

bool size_argument(PyObject* const* args, Py_ssize_t nargs, Py_ssize_t& size) {
    size = -1;
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "expected at most 1 argument, got %zd", nargs);
        return false;
    }
    if (nargs == 1 && args[0] != Py_None) {
        size = PyNumber_AsSsize_t(args[0], PyExc_OverflowError);
        return !(size == -1 && PyErr_Occurred());
    }
    return true;
}

PyObject* new_bytes(SourceObject* source, size_t n, bool advance) {
    PyRef bytes = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n)));
    const size_t at = source->position;
    if (!bytes || !copy_out(source, PyBytes_AS_STRING(bytes.get()), n)) {
        source->position = at;
        return nullptr;
    }
    if (!advance) {
        source->position = at;
    }
    return bytes.release();
}

// read(size=-1)
PyObject* source_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    Py_ssize_t requested;
    if (!size_argument(args, nargs, requested)) {
        return nullptr;
    }
    SourceObject* source = as_source(self);
    return new_bytes(source, read_size(source, requested), true);
}

// peek(size=0): the next bytes, at least `size` of them where there are that many, without
// moving on.
PyObject* source_peek(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    Py_ssize_t requested;
    if (!size_argument(args, nargs, requested)) {
        return nullptr;
    }
    SourceObject* source = as_source(self);
    return new_bytes(source, read_size(source, std::max<Py_ssize_t>(requested, 1)), false);
}

// readline(size=-1)
PyObject* source_readline(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    Py_ssize_t requested;
    if (!size_argument(args, nargs, requested)) {
        return nullptr;
    }
    SourceObject* source = as_source(self);
    const size_t limit = read_size(source, requested);
    const void* newline = std::memchr(source->data + source->position, '\n', limit);
    const size_t n = newline == nullptr ? limit
                                        : static_cast<size_t>(static_cast<const unsigned char*>(
                                                                  newline) -
                                                              (source->data + source->position)) +
                                              1;
    return new_bytes(source, n, true);
}

// readinto(buffer)
PyObject* source_readinto(PyObject* self, PyObject* target) {
    Py_buffer view;
    if (PyObject_GetBuffer(target, &view, PyBUF_WRITABLE) < 0) {
        return nullptr;
    }
    SourceObject* source = as_source(self);
    const size_t n = read_size(source, view.len);
    const bool copied = copy_out(source, static_cast<char*>(view.buf), n);
    PyBuffer_Release(&view);
    return copied ? PyLong_FromSize_t(n) : nullptr;
}

void source_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    std::free(as_source(self)->data);
    type->tp_free(self);
    Py_DECREF(type);
}

#define QVC_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef source_methods[] = {
    {"read", QVC_FASTCALL(source_read), METH_FASTCALL, nullptr},
    {"readinto", source_readinto, METH_O, nullptr},
    {"readline", QVC_FASTCALL(source_readline), METH_FASTCALL, nullptr},
    {"peek", QVC_FASTCALL(source_peek), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot source_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(source_dealloc)},
    {Py_tp_methods, source_methods},
    {0, nullptr},
};

PyType_Spec source_spec = {
    "qvc_compressor.PickleSource",
    sizeof(SourceObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    source_slots,
};

}  // namespace

PyTypeObject* create_pickle_source_type(PyObject* module) {
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &source_spec, nullptr));
}

PyRef read_pickle_source(ModuleState* st, PyObject* file, std::string& problem) {
    StreamBuffer buffer;
    size_t end = 0;
    try {
        if (!read_checked_stream(st, file, buffer, end, problem)) {
            return {};
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return {};
    }
    PyTypeObject* type = st->pickle_source_type;
    PyRef source = PyRef::steal(type->tp_alloc(type, 0));
    if (!source) {
        return {};
    }
    SourceObject* fields = as_source(source.get());
    fields->size = end;
    fields->position = 0;
    fields->data = buffer.release();
    return source;
}

}  // namespace qvc
