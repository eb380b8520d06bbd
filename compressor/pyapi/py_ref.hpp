// Owning handles for interpreter references and the pending exception.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace qvc {

// False on a thread that has no attached thread state. At interpreter exit CPython 3.11 to 3.13
// ends a daemon thread that tries to take the interpreter back (after file I/O or compression let
// go of it) by unwinding its stack, which runs our destructors without a thread state: every
// destructor that touches the interpreter asks this first and then leaks instead, which costs
// nothing as the process is ending.
inline bool thread_may_use_interpreter() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#else
    // Before 3.13 the current thread state may be another thread's (3.11 keeps one for the
    // process): this thread has the interpreter only where it is this thread's own.
    PyThreadState* current = _PyThreadState_UncheckedGet();
    return current != nullptr && current == PyGILState_GetThisThreadState();
#endif
}

// Owns one strong reference (or none). Every reference a function creates goes into one of
// these, so each error path releases exactly what it took.
class PyRef {
public:
    PyRef() noexcept = default;
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : obj_(other.release()) {}
    PyRef& operator=(PyRef&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~PyRef() {
        if (obj_ != nullptr && thread_may_use_interpreter()) {
            Py_DECREF(obj_);
        }
    }

    // Takes over a new reference, as returned by most C API calls (null stays null).
    static PyRef steal(PyObject* obj) noexcept {
        PyRef ref;
        ref.obj_ = obj;
        return ref;
    }
    // Adds a reference of its own to a borrowed one.
    static PyRef borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return steal(obj);
    }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

    // Gives up ownership: the caller now holds the reference.
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    // A new reference for the caller, keeping ours.
    PyObject* new_ref() const noexcept {
        Py_XINCREF(obj_);
        return obj_;
    }
    void reset(PyObject* stolen = nullptr) noexcept {
        // The old object may run arbitrary code when it dies; we must already hold the new one.
        PyObject* old = std::exchange(obj_, stolen);
        Py_XDECREF(old);
    }

private:
    PyObject* obj_ = nullptr;
};

// Replaces a strong reference held in an object field, releasing the old value only after the
// field holds the new one (the old value's finaliser may look at the field).
inline void replace_field(PyObject*& field, PyObject* new_ref) noexcept {
    PyObject* old = field;
    field = new_ref;
    Py_XDECREF(old);
}

// The pending exception, taken out of the interpreter (null when there is none).
inline PyRef take_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyRef::steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value != nullptr && tb != nullptr) {
        PyException_SetTraceback(value, tb);
    }
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return PyRef::steal(value);
#endif
}

// Makes `exception` (not null) the pending exception again.
inline void raise_exception(PyRef exception) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    PyObject* value = exception.release();
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value)));
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

// Takes the pending exception out of the way while cleanup code that may itself call into the
// interpreter runs, and puts it back afterwards.
class PendingError {
public:
    PendingError() noexcept : exc_(take_exception().release()) {}
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;
    ~PendingError() {
        if (thread_may_use_interpreter()) {
            restore();
        }
    }

    bool holds_error() const noexcept { return exc_ != nullptr; }

    // Puts the saved exception back. If cleanup raised a new one meanwhile, the saved exception
    // becomes that one's context, as an exception raised in a `finally` block would have.
    void restore() noexcept {
        if (exc_ == nullptr) {
            return;
        }
        if (PyErr_Occurred()) {
            PyObject* saved = exc_;
            exc_ = nullptr;
#if PY_VERSION_HEX >= 0x030C0000
            PyObject* current = PyErr_GetRaisedException();
            PyException_SetContext(current, saved);
            PyErr_SetRaisedException(current);
#else
            PyObject *type, *value, *tb;
            PyErr_Fetch(&type, &value, &tb);
            PyErr_NormalizeException(&type, &value, &tb);
            PyException_SetContext(value, saved);
            PyErr_Restore(type, value, tb);
#endif
            return;
        }
        raise_exception(PyRef::steal(std::exchange(exc_, nullptr)));
    }

private:
    PyObject* exc_ = nullptr;
};

}  // namespace qvc
