// load_dict and save_dict: the vocabulary kept between runs in the dictionary file, a pickle of
// {"dict": global_dict, "next_id": next_id}.
#include "compressor/safe_io/atomic_file.hpp"
#include "compressor/pyapi/int_conversion.hpp"
#include "compressor/pyapi/interpreter_calls.hpp"
#include "compressor/methods.hpp"
#include "compressor/safe_io/restricted_unpickler.hpp"
#include "compressor/vocabulary/inversion.hpp"

namespace qvc {
namespace {

// Replaces the vocabulary from the unpickled content, field by field, so that a failure leaves
// what was already replaced in place.
bool adopt_loaded_vocabulary(ModuleState* st, CompressorObject* self, PyObject* data) {
    PyRef empty = PyRef::steal(PyDict_New());
    if (!empty) {
        return false;
    }
    PyRef vocabulary = call_method(data, st->s_get, st->s_dict, empty.get());
    if (!vocabulary) {
        return false;
    }
    replace_field(self->global_dict, vocabulary.new_ref());
    PyRef inverse = invert_vocabulary(st, vocabulary.get());
    if (!inverse) {
        return false;
    }
    replace_field(self->inverse_dict, inverse.release());
    PyRef one = PyRef::steal(PyLong_FromLong(1));
    PyRef next_id = one ? call_method(data, st->s_get, st->s_next_id, one.get()) : PyRef{};
    int32_t converted;
    if (!next_id || !to_int32(next_id.get(), &converted)) {
        return false;
    }
    self->next_id = converted;
    return true;
}

}  // namespace

PyObject* load_dict(MethodCall& call) {
    ModuleState* st = call.state;
    PyRef dict_path = PyRef::borrow(call.self->dict_path);
    PyRef os = module_global(call.module, st->s_os);
    PyRef os_path = os ? PyRef::steal(PyObject_GetAttr(os.get(), st->s_path)) : PyRef{};
    PyRef exists = os_path ? call_method(os_path.get(), st->s_exists, dict_path.get()) : PyRef{};
    if (!exists) {
        return nullptr;
    }
    int found = PyObject_IsTrue(exists.get());
    if (found < 0) {
        return nullptr;
    }
    if (found == 0) {
        Py_RETURN_NONE;
    }
    PyRef file = open_file(st, dict_path.get(), st->s_mode_rb);
    if (!file) {
        return nullptr;
    }
    PyRef data = restricted_load(call.module, UnpicklePurpose::DictionaryFile, file.get());
    bool adopted = data && adopt_loaded_vocabulary(st, call.self, data.get());
    if (!close_file(st, file.get()) || !adopted) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* save_dict(MethodCall& call) {
    ModuleState* st = call.state;
    CompressorObject* self = call.self;
    PyRef content = PyRef::steal(PyDict_New());
    PyRef next_id = PyRef::steal(PyLong_FromLong(self->next_id));
    if (!content || !next_id || PyDict_SetItem(content.get(), st->s_dict, self->global_dict) < 0 ||
        PyDict_SetItem(content.get(), st->s_next_id, next_id.get()) < 0) {
        return nullptr;
    }
    PyRef dict_path = PyRef::borrow(self->dict_path);
    bool saved = write_file_atomically(st, dict_path.get(), [&](PyObject* file) {
        PyRef pickle = module_global(call.module, st->s_pickle);
        PyRef dumped = pickle ? call_method(pickle.get(), st->s_dump, content.get(), file) : PyRef{};
        return static_cast<bool>(dumped);
    });
    if (!saved) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace qvc
