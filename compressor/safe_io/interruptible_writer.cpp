#include "compressor/safe_io/interruptible_writer.hpp"

#include "compressor/pyapi/interpreter_calls.hpp"

#include <algorithm>

namespace qvc {
namespace {

struct WriterObject {
    PyObject_HEAD
    PyObject* file;
    PyObject* write_name;
};

WriterObject* as_writer(PyObject* obj) { return reinterpret_cast<WriterObject*>(obj); }

// A piece takes a few milliseconds to copy into the page cache.
constexpr Py_ssize_t kPieceBytes = Py_ssize_t{1} << 22;

// write(data): all of it, as a buffered binary file writes it; returns its length.
PyObject* writer_write(PyObject* self, PyObject* data) {
    Py_buffer view;
    if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) {
        return nullptr;
    }
    const Py_ssize_t length = view.len;
    bool ok = true;
    // Signals are answered before each piece: a write that fails leaves what went before.
    for (Py_ssize_t at = 0; ok && at < length; at += kPieceBytes) {
        PyRef piece = PyRef::steal(PyMemoryView_FromMemory(
            static_cast<char*>(view.buf) + at, std::min(kPieceBytes, length - at), PyBUF_READ));
        PyObject* args[] = {as_writer(self)->file, piece.get()};
        ok = piece && PyErr_CheckSignals() == 0 &&
             PyRef::steal(PyObject_VectorcallMethod(as_writer(self)->write_name, args, 2,
                                                    nullptr));
    }
    PyBuffer_Release(&view);
    return ok ? PyLong_FromSsize_t(length) : nullptr;
}

void writer_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    Py_XDECREF(as_writer(self)->file);
    Py_XDECREF(as_writer(self)->write_name);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef writer_methods[] = {
    {"write", writer_write, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot writer_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(writer_dealloc)},
    {Py_tp_methods, writer_methods},
    {0, nullptr},
};

PyType_Spec writer_spec = {
    "qvc_compressor.InterruptibleWriter",
    sizeof(WriterObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    writer_slots,
};

}  // namespace

PyTypeObject* create_interruptible_writer_type(PyObject* module) {
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &writer_spec, nullptr));
}

PyRef interruptible_writer(ModuleState* st, PyObject* file) {
    PyTypeObject* type = st->interruptible_writer_type;
    PyRef writer = PyRef::steal(type->tp_alloc(type, 0));
    if (writer) {
        as_writer(writer.get())->file = Py_NewRef(file);
        as_writer(writer.get())->write_name = Py_NewRef(st->s_write);
    }
    return writer;
}

}  // namespace qvc
