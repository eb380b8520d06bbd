#include "compressor/safe_io/atomic_file.hpp"

#include "compressor/pyapi/interpreter_calls.hpp"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

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

std::string random_suffix() {
    static thread_local std::mt19937_64 generator{std::random_device{}()};
    char buffer[17];
    std::snprintf(buffer, sizeof buffer, "%016llx",
                  static_cast<unsigned long long>(generator()));
    return buffer;
}

// Owns the temporary file until it has been renamed into place.
class TemporaryFile {
public:
    ~TemporaryFile() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        if (!path_.empty()) {
            ::unlink(path_.c_str());
        }
    }
    bool create(const std::string& directory, const std::string& base_name, mode_t mode) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::string candidate = directory + "/." + base_name + "." + random_suffix() + ".tmp";
            int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
            if (fd >= 0) {
                fd_ = fd;
                path_ = std::move(candidate);
                return true;
            }
            if (errno != EEXIST) {
                return false;
            }
        }
        return false;
    }
    int fd() const { return fd_; }
    // Once a Python file object owns the descriptor, it closes it.
    void release_fd() { fd_ = -1; }
    const std::string& path() const { return path_; }
    void forget() { path_.clear(); }

private:
    int fd_ = -1;
    std::string path_;
};

}  // namespace

bool write_file_atomically(ModuleState* st, PyObject* path,
                           const std::function<bool(PyObject* file)>& write_contents) {
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(path, &converted)) {
        return false;
    }
    PyRef fs_path = PyRef::steal(converted);
    std::string target;
    if (!resolve_target(st, fs_path.get(), target)) {
        return false;
    }

    // Refuse what a plain open for writing would refuse, before anything is created.
    struct stat existing;
    bool exists = ::stat(target.c_str(), &existing) == 0;
    if (!exists && errno != ENOENT) {
        return raise_os_error(errno, path);
    }
    if (exists && S_ISDIR(existing.st_mode)) {
        return raise_os_error(EISDIR, path);
    }
    if (exists && ::access(target.c_str(), W_OK) != 0) {
        return raise_os_error(errno, path);
    }
    if (target.empty() || target.back() == '/') {
        return raise_os_error(target.empty() ? ENOENT : EISDIR, path);
    }

    TemporaryFile temporary;
    if (!temporary.create(directory_of(target), base_name_of(target),
                          exists ? S_IRUSR | S_IWUSR : 0666)) {
        return raise_os_error(errno, path);
    }
    if (exists) {
        // Best effort, as only a privileged writer may give the file to another owner.
        [[maybe_unused]] int ignored = ::fchown(temporary.fd(), existing.st_uid, existing.st_gid);
    }
    PyRef fd = PyRef::steal(PyLong_FromLong(temporary.fd()));
    PyRef file = fd ? open_file(st, fd.get(), st->s_mode_wb) : PyRef{};
    if (!file) {
        return false;
    }
    temporary.release_fd();
    bool written = write_contents(file.get());
    if (!close_file(st, file.get()) || !written) {
        return false;
    }
    if (exists && ::chmod(temporary.path().c_str(), existing.st_mode & 07777) != 0) {
        return raise_os_error(errno, path);
    }
    if (::rename(temporary.path().c_str(), target.c_str()) != 0) {
        return raise_os_error(errno, path);
    }
    temporary.forget();
    return true;
}

}  // namespace qvc
