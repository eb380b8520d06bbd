// Phase 1 as the interpreter's loop does it, wherever the caller could tell another way of reading
// from it (a subclass, a wrapped `open` or `os.path.basename`): for each file open(path, "r",
// encoding="utf-8"), read(), self.tokenize(text), its boundary and name, close(). The built-in
// split of a text is numbered from its UTF-8 form into the same table as natively read files; the
// list an overriding tokenize returns goes in token by token, each its own entry.
#include "compressor/package/encode/read_files.hpp"
#include "compressor/package/package_format.hpp"
#include "compressor/pyapi/interpreter_calls.hpp"

namespace qvc {
namespace {

// UTF-8 handed to the scan at a time, between two checks for signals.
constexpr size_t kScanPieceBytes = size_t{4} << 20;

// True when `method`, the object's `tokenize` attribute, is the class's own method bound to it.
bool is_builtin_tokenize(ModuleState* st, PyObject* method, PyObject* self) {
    return PyMethod_Check(method) && PyMethod_GET_FUNCTION(method) == st->tokenize_function &&
           PyMethod_GET_SELF(method) == self;
}

// The tokens `tokenize(text)` returns, copied as extending the token list would copy them.
bool take_token_list(PyObject* tokenize, PyObject* self, PyObject* text, PyRef& tokens) {
    PyRef result = self == nullptr ? qvc::call(tokenize, text) : qvc::call(tokenize, self, text);
    if (!result) {
        return false;
    }
    if (result.get() == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
        return false;
    }
    if (!PyList_CheckExact(result.get())) {
        return raise_expected_type("list", result.get());
    }
    tokens = PyRef::steal(PyList_GetSlice(result.get(), 0, PY_SSIZE_T_MAX));
    return static_cast<bool>(tokens);
}

// Enters the tokens of `tokens` (a list of our own) in order, each as an entry of its own.
bool add_token_list(ReadFiles& files, PyObject* tokens) {
    const size_t count = static_cast<size_t>(PyList_GET_SIZE(tokens));
    if (count > kMaxPackageTokens - files.numbering.stream().size()) {
        return raise_too_many_tokens();
    }
    files.numbering.add_unshared(count);
    for (size_t i = 0; i < count; ++i) {
        PyObject* token = PyList_GET_ITEM(tokens, static_cast<Py_ssize_t>(i));
        files.strs.push_back(Py_NewRef(token));
    }
    return true;
}

// Numbers the built-in split of the exact str `text` from its UTF-8 form. A text that has no
// UTF-8 form (a lone surrogate, which only a reader other than the plain open can give) is split
// by the built-in tokenize itself, and its tokens go in as an overriding tokenize's would.
bool number_builtin_split(MethodCall& call, PyObject* text, ReadFiles& files) {
    Py_ssize_t length;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &length);
    if (utf8 == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
            return false;
        }
        PyErr_Clear();
        PyRef tokens;
        return take_token_list(call.state->tokenize_function, call.self_object(), text, tokens) &&
               add_token_list(files, tokens.get());
    }
    // The text is taken as the reader gave it: its line ends are not translated again.
    TokenNumbering::FileScan scan(files.numbering, false);
    const auto* bytes = reinterpret_cast<const unsigned char*>(utf8);
    const size_t total = static_cast<size_t>(length);
    for (size_t done = 0;;) {
        const size_t piece = std::min(kScanPieceBytes, total - done);
        const bool last = done + piece == total;
        if (!scan.add_piece(bytes + done, piece, last)) {
            PyErr_SetString(PyExc_SystemError, "encode_files: a str's UTF-8 form did not scan");
            return false;
        }
        if (last) {
            break;
        }
        done += piece;
        if (PyErr_CheckSignals() != 0) {
            return false;
        }
    }
    if (scan.over_limit()) {
        return raise_too_many_tokens();
    }
    return files.make_strs(files.numbering.table().size());
}

// self.tokenize(text), its tokens entered in `files`.
bool tokenize_text(MethodCall& call, PyObject* text, ReadFiles& files) {
    ModuleState* st = call.state;
    PyObject* self = call.self_object();
    if (Py_TYPE(self) != st->compressor_type) {
        PyRef method = PyRef::steal(PyObject_GetAttr(self, st->s_tokenize));
        if (!method) {
            return false;
        }
        if (!is_builtin_tokenize(st, method.get(), self)) {
            PyRef tokens;
            return take_token_list(method.get(), nullptr, text, tokens) &&
                   add_token_list(files, tokens.get());
        }
    }
    if (text == Py_None) {
        // The built-in tokenize refuses None with the regular-expression search's own error.
        PyRef refused = qvc::call(st->tokenize_function, self, text);
        return static_cast<bool>(refused);
    }
    return number_builtin_split(call, text, files);
}

// Steps 2 to 6 for one open file.
bool read_tokenized_file(MethodCall& call, PyObject* path, PyObject* file, ReadFiles& files,
                         PyObject* file_boundaries, PyObject* filenames) {
    PyRef text = call_method(file, call.state->s_read);
    if (!text) {
        return false;
    }
    if (!PyUnicode_CheckExact(text.get()) && text.get() != Py_None) {
        return raise_expected_type("str", text.get());
    }
    return tokenize_text(call, text.get(), files) &&
           record_file(call, path, files.numbering.stream().size(), file_boundaries, filenames);
}

}  // namespace

bool read_files_through_interpreter(MethodCall& call, PyObject* filepaths, ReadFiles& files,
                                    PyObject* file_boundaries, PyObject* filenames) {
    ModuleState* st = call.state;
    // As a for loop walks a list: the length is read again at every step.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(filepaths); ++i) {
        if (PyErr_CheckSignals() != 0) {
            return false;
        }
        PyRef path = PyRef::borrow(PyList_GET_ITEM(filepaths, i));
        PyRef file = open_file(st, path.get(), st->s_mode_r, st->s_utf8);
        if (!file) {
            return false;
        }
        const bool read = read_tokenized_file(call, path.get(), file.get(), files,
                                              file_boundaries, filenames);
        if (!close_file(st, file.get()) || !read) {
            return false;
        }
    }
    files.numbering.release_scanning();
    files.numbering.table().release();  // every distinct token has its str now
    return true;
}

}  // namespace qvc
