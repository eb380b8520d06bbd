#include "compressor/package/encode/read_files.hpp"

#include "compressor/pyapi/interpreter_calls.hpp"
#include "compressor/pyapi/signal_poll.hpp"

#include <cstdint>
#include <cstring>

namespace qvc {
namespace {

bool is_ascii(const unsigned char* bytes, size_t length) noexcept {
    uint64_t high = 0;
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t word;
        std::memcpy(&word, bytes + i, 8);
        high |= word;
    }
    for (; i < length; ++i) {
        high |= bytes[i];
    }
    return (high & 0x8080808080808080ULL) == 0;
}

// The str of a distinct token's bytes, which were checked as strict UTF-8. An ASCII token of two
// or more characters is copied straight into a new compact str, the object the decoder would
// make; anything else goes through the decoder, which also gives a one-character token the
// interpreter's shared str, as a slice of the text would (the package's pickle tells such a
// shared object from an equal one of its own).
PyObject* new_token_str(const TokenBytes& token) {
    if (token.length >= 2 && is_ascii(token.bytes, token.length)) {
        PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(token.length), 127);
        if (str != nullptr) {
            std::memcpy(PyUnicode_1BYTE_DATA(str), token.bytes, token.length);
        }
        return str;
    }
    return PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(token.bytes),
                                static_cast<Py_ssize_t>(token.length), nullptr);
}

}  // namespace

bool ReadFiles::make_strs(size_t end) {
    SignalPoll poll(kTokensBetweenChecks);
    while (strs.size() < end) {
        if (!poll.tick()) {
            return false;
        }
        PyObject* str = new_token_str(numbering.table().token(strs.size()));
        if (str == nullptr) {
            return false;
        }
        strs.push_back(str);
        // Hashed now, while the str is at hand: entering it in the vocabulary needs the hash.
        if (PyObject_Hash(str) == -1) {
            return false;
        }
    }
    return true;
}

bool record_file(MethodCall& call, PyObject* path, size_t boundary, PyObject* file_boundaries,
                 PyObject* filenames) {
    ModuleState* st = call.state;
    PyRef end = PyRef::steal(PyLong_FromSize_t(boundary));
    if (!end || PyList_Append(file_boundaries, end.get()) < 0) {
        return false;
    }
    PyRef os = module_global(call.module, st->s_os);
    PyRef os_path = os ? PyRef::steal(PyObject_GetAttr(os.get(), st->s_path)) : PyRef{};
    PyRef name = os_path ? call_method(os_path.get(), st->s_basename, path) : PyRef{};
    return name && PyList_Append(filenames, name.get()) == 0;
}

}  // namespace qvc
