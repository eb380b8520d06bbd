#include "compressor/safe_io/no_symlink_opener.hpp"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>

namespace qvc {

void raise_open_failure(int error, PyObject* path, bool through_link) {
    if (through_link) {
        PyRef exception = PyRef::steal(PyObject_CallFunction(
            PyExc_OSError, "isO", error, "Refusing to write through a symbolic link", path));
        if (exception) {
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())),
                            exception.get());
        }
        return;
    }
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
}

namespace {

// opener(path, flags) -> fd
PyObject* open_without_following(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "opener() takes exactly 2 arguments (%zd given)", nargs);
        return nullptr;
    }
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(args[0], &converted)) {
        return nullptr;
    }
    PyRef fs_path = PyRef::steal(converted);
    const long flags = PyLong_AsLong(args[1]);
    if (flags == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    if (flags < INT_MIN || flags > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "open flags out of range");
        return nullptr;
    }
    const char* path = PyBytes_AS_STRING(fs_path.get());
    int fd;
    do {
        Py_BEGIN_ALLOW_THREADS
        fd = ::open(path, static_cast<int>(flags) | O_NOFOLLOW | O_CLOEXEC, 0666);
        Py_END_ALLOW_THREADS
    } while (fd < 0 && errno == EINTR && PyErr_CheckSignals() == 0);
    if (fd >= 0) {
        return PyLong_FromLong(fd);
    }
    if (PyErr_Occurred()) {
        return nullptr;  // a signal handler raised while the open waited
    }
    const int error = errno;
    struct stat info;
    const bool through_link = error == ELOOP && lstat(path, &info) == 0 && S_ISLNK(info.st_mode);
    raise_open_failure(error, args[0], through_link);
    return nullptr;
}

PyMethodDef opener_def = {
    "opener", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(open_without_following)),
    METH_FASTCALL, nullptr};

}  // namespace

PyRef new_no_symlink_opener(PyObject* module) {
    return PyRef::steal(PyCFunction_NewEx(&opener_def, module, nullptr));
}

}  // namespace qvc
