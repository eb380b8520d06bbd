// Small helpers for calling into the interpreter the way the module's methods do: names looked
// up in the module namespace at each call, builtins, files closed on every path.
#pragma once

#include "compressor/module_state.hpp"

#include <exception>
#include <new>

namespace qvc {

// Runs an entry point's body, turning a C++ allocation failure into MemoryError so that no
// exception crosses into the interpreter. Not noexcept: when the interpreter ends a daemon
// thread at exit, inside a call that gave up the interpreter's lock, it unwinds the thread's
// frames, and that unwinding (which no catch clause here matches) must pass through.
template <typename Result, typename Body>
Result guarded_call(Result error_value, Body&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    }
    return error_value;
}

// A name of the module namespace, then of the builtins; NameError when neither has it. The
// methods reach `os`, `pickle`, `re` and `zstd` this way at each call, so rebinding them in the
// module takes effect.
PyRef module_global(PyObject* module, PyObject* name);

// A builtin by name (`open`, `zip`), as the running code sees the builtins.
PyRef builtin(PyObject* name);

// getattr(obj, name) where a missing attribute is no error: null without an exception set.
PyRef optional_attr(PyObject* obj, PyObject* name);

// obj.name(*args)
template <typename... Args>
PyRef call_method(PyObject* obj, PyObject* name, Args... args) {
    return PyRef::steal(PyObject_CallMethodObjArgs(obj, name, args..., nullptr));
}

// callable(*args)
template <typename... Args>
PyRef call(PyObject* callable, Args... args) {
    return PyRef::steal(PyObject_CallFunctionObjArgs(callable, args..., nullptr));
}

// The builtin `open(path, mode)`, or with an encoding and newline setting when given.
PyRef open_file(ModuleState* st, PyObject* path, PyObject* mode, PyObject* encoding = nullptr,
                PyObject* newline = nullptr);

// Whether the builtin `open`, and `os.path.<path_function>` reached through the module's `os`,
// are still `st->interpreter_open` and `imported`, the objects they were when the module was
// imported: then nobody can tell whether a file is opened through them or straight from the
// operating system. Never leaves an exception set.
bool opens_as_imported(PyObject* module, ModuleState* st, PyObject* path_function,
                       PyObject* imported);

// `first, second = pair`, with the interpreter's unpacking errors and messages.
bool unpack_pair(PyObject* pair, PyRef& first, PyRef& second);

// Closes `file`, as leaving a context-managed block does, also while an exception is pending. As
// in a `with` block, an error from closing replaces a pending exception, which becomes its
// context. Returns false when an exception is set afterwards.
bool close_file(ModuleState* st, PyObject* file);

}  // namespace qvc
