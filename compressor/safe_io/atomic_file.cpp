#include "compressor/safe_io/atomic_file.hpp"

#include "compressor/pyapi/interpreter_calls.hpp"
#include "compressor/safe_io/file_descriptor.hpp"
#include "compressor/safe_io/interruptible_writer.hpp"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace qvc {
namespace {

bool raise_os_error(int error_number, PyObject* path) {
    errno = error_number;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    return false;
}

std::string directory_of(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_name_of(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Where the bytes finally go: `path` itself, or the file a symlink chain at `path` ends at.
bool resolve_target(ModuleState* st, PyObject* fs_path, std::string& target) {
    const char* raw = PyBytes_AS_STRING(fs_path);
    struct stat info;
    if (lstat(raw, &info) != 0 || !S_ISLNK(info.st_mode)) {
        target.assign(raw, static_cast<size_t>(PyBytes_GET_SIZE(fs_path)));
        return true;
    }
    PyRef os = PyRef::steal(PyImport_ImportModule("os.path"));
    if (!os) {
        return false;
    }
    PyRef resolved = call_method(os.get(), st->s_realpath, fs_path);
    if (!resolved) {
        return false;
    }
    if (!PyBytes_Check(resolved.get())) {
        PyErr_SetString(PyExc_TypeError, "os.path.realpath returned a non-bytes path");
        return false;
    }
    target.assign(PyBytes_AS_STRING(resolved.get()),
                  static_cast<size_t>(PyBytes_GET_SIZE(resolved.get())));
    return true;
}

// Of a fixed, short length, so that it fits wherever the target's own name fits, however long
// that is.
std::string temporary_name() {
    static thread_local std::mt19937_64 generator{std::random_device{}()};
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, ".qvc-%016llx.tmp",
                  static_cast<unsigned long long>(generator()));
    return buffer;
}

// Waits until the disk holds what was written to `fd`. The interpreter is let go of meanwhile,
// as its own os.fsync does. A file system that cannot sync (EINVAL) has nothing to wait for.
bool sync_to_disk(int fd) {
    int result;
    do {
        Py_BEGIN_ALLOW_THREADS
        result = ::fsync(fd);
        Py_END_ALLOW_THREADS
    } while (result != 0 && errno == EINTR);
    return result == 0 || errno == EINVAL || errno == ENOTSUP;
}

// Owns the temporary file, descriptor and name, until it has been renamed into place. The
// descriptor is ours alone: the file object written through never closes it.
class TemporaryFile {
public:
    explicit TemporaryFile(int directory) noexcept : directory_(directory) {}
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() {
        fd_.close();
        if (!name_.empty()) {
            ::unlinkat(directory_, name_.c_str(), 0);
        }
    }

    bool create(mode_t mode) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::string candidate = temporary_name();
            int fd = ::openat(directory_, candidate.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
            if (fd >= 0) {
                fd_.reset(fd);
                name_ = std::move(candidate);
                return true;
            }
            if (errno != EEXIST) {
                return false;
            }
        }
        return false;
    }
    int fd() const noexcept { return fd_.get(); }
    bool close() noexcept { return fd_.close(); }
    bool rename_to(const std::string& name) noexcept {
        if (::renameat(directory_, name_.c_str(), directory_, name.c_str()) != 0) {
            return false;
        }
        name_.clear();
        return true;
    }

private:
    int directory_;
    FileDescriptor fd_{-1};
    std::string name_;
};

bool write_through(ModuleState* st, PyObject* file,
                   const std::function<bool(PyObject* file)>& write_contents) {
    PyRef writer = interruptible_writer(st, file);
    const bool written = writer && write_contents(writer.get());
    return close_file(st, file) && written;
}

// open(path, "wb") and the content written into it, nothing else.
bool write_in_place(ModuleState* st, PyObject* path,
                    const std::function<bool(PyObject* file)>& write_contents) {
    PyRef file = open_file(st, path, st->s_mode_wb);
    return file && write_through(st, file.get(), write_contents);
}

// open(fd, "wb", closefd=False)
PyRef file_on_descriptor(ModuleState* st, int fd) {
    PyRef open = builtin(st->s_open);
    PyRef fd_object = PyRef::steal(PyLong_FromLong(fd));
    PyRef keywords = PyRef::steal(PyTuple_Pack(1, st->s_closefd));
    if (!open || !fd_object || !keywords) {
        return {};
    }
    PyObject* args[] = {fd_object.get(), st->s_mode_wb, Py_False};
    return PyRef::steal(PyObject_Vectorcall(open.get(), args, 2, keywords.get()));
}

// The new content goes to a temporary file beside `target`, which is synced and renamed over
// it. `existing` describes the file being replaced, if there is one: the new one keeps its owner
// and permission bits.
bool replace_through_temporary(ModuleState* st, PyObject* path, const std::string& target,
                               const struct stat* existing,
                               const std::function<bool(PyObject* file)>& write_contents) {
    FileDescriptor directory(
        ::open(directory_of(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory) {
        return raise_os_error(errno, path);
    }
    TemporaryFile temporary(directory.get());
    if (!temporary.create(existing != nullptr ? S_IRUSR | S_IWUSR : 0666)) {
        if (existing != nullptr && (errno == EACCES || errno == EPERM)) {
            // The directory is closed to new files but the file itself is writable.
            return write_in_place(st, path, write_contents);
        }
        return raise_os_error(errno, path);
    }
    if (existing != nullptr) {
        // Best effort, as only a privileged writer may give the file to another owner.
        [[maybe_unused]] int ignored = ::fchown(temporary.fd(), existing->st_uid, existing->st_gid);
    }
    PyRef file = file_on_descriptor(st, temporary.fd());
    if (!file || !write_through(st, file.get(), write_contents)) {
        return false;
    }
    if (existing != nullptr && ::fchmod(temporary.fd(), existing->st_mode & 07777) != 0) {
        return raise_os_error(errno, path);
    }
    // Synced before the rename, so that a crash never leaves the name on an empty file; the
    // directory after it, so that the rename itself survives one.
    if (!sync_to_disk(temporary.fd()) || !temporary.close() ||
        !temporary.rename_to(base_name_of(target)) || !sync_to_disk(directory.get())) {
        return raise_os_error(errno, path);
    }
    return true;
}

}  // namespace

bool write_file_atomically(ModuleState* st, PyObject* given_path,
                           const std::function<bool(PyObject* file)>& write_contents) {
    // What open() works with, and names in its errors: the str or bytes a path-like object
    // stands for. Asked for once, as open() asks once.
    PyRef fspath = PyRef::steal(PyOS_FSPath(given_path));
    if (!fspath) {
        return false;
    }
    PyObject* path = fspath.get();
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(path, &converted)) {
        return false;
    }
    PyRef fs_path = PyRef::steal(converted);

    // Refuse what a plain open for writing would refuse, before anything is created. What the
    // path names is judged through the path itself, as open would reach it (/dev/stdout leads
    // to a pipe that no resolved name reaches).
    struct stat existing;
    const bool exists = ::stat(PyBytes_AS_STRING(fs_path.get()), &existing) == 0;
    if (!exists && errno != ENOENT) {
        return raise_os_error(errno, path);
    }
    if (exists && S_ISDIR(existing.st_mode)) {
        return raise_os_error(EISDIR, path);
    }
    if (exists && !(S_ISREG(existing.st_mode) && existing.st_nlink == 1)) {
        return write_in_place(st, path, write_contents);
    }
    std::string target;
    if (!resolve_target(st, fs_path.get(), target)) {
        return false;
    }
    if (exists && ::access(target.c_str(), W_OK) != 0) {
        return raise_os_error(errno, path);
    }
    if (target.empty() || target.back() == '/') {
        return raise_os_error(target.empty() ? ENOENT : EISDIR, path);
    }
    return replace_through_temporary(st, path, target, exists ? &existing : nullptr,
                                     write_contents);
}

}  // namespace qvc
