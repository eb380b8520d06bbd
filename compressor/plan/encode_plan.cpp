#include "compressor/plan/encode_plan.hpp"

#include "compressor/package/decode/dict_change_watch.hpp"
#include "compressor/package/encode/read_files.hpp"
#include "compressor/package/encode/stream_compression.hpp"
#include "compressor/plan/fast_path_switches.hpp"

namespace qvc {
namespace {

bool keys_and_values_of_types(PyObject* dict, PyTypeObject* key_type,
                              PyTypeObject* value_type) noexcept {
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (Py_TYPE(key) != key_type || (value_type != nullptr && Py_TYPE(value) != value_type)) {
            return false;
        }
    }
    return true;
}

bool vocabulary_allows_early_ids(CompressorObject* self) noexcept {
    PyObject* global_dict = self->global_dict;
    PyObject* inverse_dict = self->inverse_dict;
    return DictChangeWatch::available() && PyDict_CheckExact(global_dict) &&
           PyDict_CheckExact(inverse_dict) &&
           keys_and_values_of_types(global_dict, &PyUnicode_Type, nullptr) &&
           keys_and_values_of_types(inverse_dict, &PyLong_Type, &PyUnicode_Type);
}

}  // namespace

EncodePlan choose_encode_plan(MethodCall& call) {
    EncodePlan plan;
    plan.native_reading = fast_path_on(FastPath::kNativeReading) && may_read_natively(call);
    plan.early_ids = plan.native_reading && fast_path_on(FastPath::kEarlyIds) &&
                     vocabulary_allows_early_ids(call.self);
    plan.compress_in_pieces = PackedStreamCompressor::compresses_in_pieces(call, 1);
    trace_plan(plan.describe());
    return plan;
}

std::string EncodePlan::describe() const {
    return std::string("encode_files reader=") + (native_reading ? "native" : "interpreter") +
           " ids=" + (early_ids ? "early" : "after-reading") +
           " compression=" + (compress_in_pieces ? "pieces" : "one-call");
}

}  // namespace qvc
