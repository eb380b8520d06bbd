// tokenize and detokenize: splitting a text into its whitespace and non-whitespace runs, and
// joining token strings back into text.
#include "compressor/interpreter_calls.hpp"
#include "compressor/methods.hpp"
#include "compressor/tokenize/span_hash.hpp"
#include "compressor/tokenize/tokenizer.hpp"
#include "compressor/tokenize/whitespace_scanner.hpp"

#include <vector>

namespace qvc {
namespace {

// Hands out one string object per distinct token of one text. Natural text repeats a small set
// of tokens (a space, a newline, "the") over and over; sharing them saves a string allocation
// per occurrence and most of the result's memory. Equal tokens are indistinguishable to callers,
// since strings are immutable.
template <typename Char>
class SharedTokenStrings {
public:
    SharedTokenStrings(PyObject* text, const Char* data)
        : text_(text), data_(data), seed_(process_hash_seed()) {
        slots_.resize(kInitialCapacity);
        mask_ = kInitialCapacity - 1;
    }
    SharedTokenStrings(const SharedTokenStrings&) = delete;
    SharedTokenStrings& operator=(const SharedTokenStrings&) = delete;
    ~SharedTokenStrings() {
        for (PyObject* single : single_chars_) {
            Py_XDECREF(single);
        }
        for (const Slot& slot : slots_) {
            Py_XDECREF(slot.str);
        }
    }

    // The string for data[start, end), owned by the table; null with an exception set on failure.
    PyObject* get(size_t start, size_t end) {
        size_t length = end - start;
        if (length == 1 && static_cast<uint32_t>(data_[start]) < 256) {
            PyObject*& single = single_chars_[static_cast<uint32_t>(data_[start])];
            if (single == nullptr) {
                single = make(start, end);
            }
            return single;
        }
        const Char* token = data_ + start;
        uint64_t hash = hash_bytes(token, length * sizeof(Char), seed_);
        size_t index = static_cast<size_t>(hash) & mask_;
        while (true) {
            Slot& slot = slots_[index];
            if (slot.str == nullptr) {
                break;
            }
            if (slot.hash == hash && slot.length == length &&
                std::memcmp(data_ + slot.start, token, length * sizeof(Char)) == 0) {
                return slot.str;
            }
            index = (index + 1) & mask_;
        }
        PyObject* str = make(start, end);
        if (str == nullptr) {
            return nullptr;
        }
        slots_[index] = Slot{hash, start, length, str};
        if (++used_ * 2 > slots_.size()) {
            grow();
        }
        return str;
    }

private:
    struct Slot {
        uint64_t hash = 0;
        size_t start = 0;
        size_t length = 0;
        PyObject* str = nullptr;
    };
    static constexpr size_t kInitialCapacity = 1024;

    // A substring as the interpreter makes it: the one-character and whole-text cases give the
    // interpreter's shared objects, as the regular-expression search would.
    PyObject* make(size_t start, size_t end) {
        return PyUnicode_Substring(text_, static_cast<Py_ssize_t>(start),
                                   static_cast<Py_ssize_t>(end));
    }

    void grow() {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        mask_ = slots_.size() - 1;
        for (const Slot& slot : old) {
            if (slot.str == nullptr) {
                continue;
            }
            size_t index = static_cast<size_t>(slot.hash) & mask_;
            while (slots_[index].str != nullptr) {
                index = (index + 1) & mask_;
            }
            slots_[index] = slot;
        }
    }

    PyObject* text_;
    const Char* data_;
    uint64_t seed_;
    std::vector<Slot> slots_;
    size_t mask_ = 0;
    size_t used_ = 0;
    PyObject* single_chars_[256] = {};
};

template <typename Char>
PyObject* split_text(PyObject* text, const Char* data, size_t length) {
    size_t count = count_tokens(data, length);
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list || count == 0) {
        return list.release();
    }
    SharedTokenStrings<Char> strings(text, data);
    Py_ssize_t position = 0;
    bool complete = scan_tokens(data, length, [&](size_t start, size_t end) {
        PyObject* token = strings.get(start, end);
        if (token == nullptr) {
            return false;
        }
        PyList_SET_ITEM(list.get(), position++, Py_NewRef(token));
        return true;
    });
    return complete ? list.release() : nullptr;
}

}  // namespace

PyObject* split_into_tokens(PyObject* text) {
    size_t length = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            return split_text(text, PyUnicode_1BYTE_DATA(text), length);
        case PyUnicode_2BYTE_KIND:
            return split_text(text, PyUnicode_2BYTE_DATA(text), length);
        default:
            return split_text(text, PyUnicode_4BYTE_DATA(text), length);
    }
}

PyObject* tokenize(MethodCall& call) {
    PyObject* text = call.args.object(0);
    if (text == Py_None) {
        // None passes the argument test and meets the regular-expression search, whose own
        // error it gets.
        ModuleState* st = call.state;
        PyRef re = module_global(call.module, st->s_re);
        return re ? call_method(re.get(), st->s_findall, st->s_token_pattern, text).release()
                  : nullptr;
    }
    return split_into_tokens(text);
}

PyObject* detokenize(MethodCall& call) {
    return PyUnicode_Join(call.state->s_empty, call.args.object(0));
}

}  // namespace qvc
