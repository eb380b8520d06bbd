// decode_package: restores the files of a package into a directory, adopting the package's
// vocabulary. A package comes from elsewhere, so reading one runs no code of its own (restricted
// unpickler), writes nothing outside the output directory (names are checked before anything is
// created, and no symbolic link is followed where a file is written) and allocates no more than
// a package may hold (the frame's announced size is checked before decompressing).
#include "compressor/pyapi/int_conversion.hpp"
#include "compressor/pyapi/interpreter_calls.hpp"
#include "compressor/pyapi/native_path.hpp"
#include "compressor/methods.hpp"
#include "compressor/package/package_format.hpp"
#include "compressor/package/decode/queued_file_writes.hpp"
#include "compressor/package/decode/restored_tokens.hpp"
#include "compressor/package/decode/vocabulary_adoption.hpp"
#include "compressor/package/decode/stream_decompression.hpp"
#include "compressor/safe_io/no_symlink_opener.hpp"
#include "compressor/safe_io/restricted_unpickler.hpp"
#include "compressor/plan/fast_path_switches.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unordered_set>

namespace qvc {
namespace {

// The package file is closed before anything else happens, also when loading fails.
PyRef load_package(MethodCall& call) {
    ModuleState* st = call.state;
    PyRef file = open_file(st, DecodeParams(call.args).package_path, st->s_mode_rb);
    if (!file) {
        return {};
    }
    PyRef package = restricted_load(call.module, UnpicklePurpose::Package, file.get());
    if (!close_file(st, file.get())) {
        return {};
    }
    return package;
}

// An entry of the package looked up without making a missing key an error (null, no exception).
PyRef entry_if_present(PyObject* package, PyObject* key) {
    if (PyDict_CheckExact(package)) {
        PyObject* found = PyDict_GetItemWithError(package, key);  // borrowed
        return PyRef::borrow(found);
    }
    PyRef value = PyRef::steal(PyObject_GetItem(package, key));
    if (!value && PyErr_ExceptionMatches(PyExc_KeyError)) {
        PyErr_Clear();
    }
    return value;
}

// -1 on error, else whether `text` holds `part`; a separator that is not a str counts as absent.
int contains_separator(PyObject* text, PyObject* part) {
    if (!PyUnicode_Check(part) || PyUnicode_GET_LENGTH(part) == 0) {
        return 0;
    }
    return PyUnicode_Contains(text, part);
}

// A name that os.path.join would not keep inside the output directory. Every absolute name
// starts with a separator, so the separator test covers it.
int is_unsafe_name(PyObject* name, PyObject* sep, PyObject* altsep) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(name);
    if (length == 0 || PyUnicode_CompareWithASCIIString(name, ".") == 0 ||
        PyUnicode_CompareWithASCIIString(name, "..") == 0) {
        return 1;
    }
    Py_ssize_t nul = PyUnicode_FindChar(name, 0, 0, length, 1);
    if (nul != -1) {
        return nul == -2 ? -1 : 1;
    }
    int found = contains_separator(name, sep);
    return found != 0 ? found : contains_separator(name, altsep);
}

// Every str name is checked before the output directory exists, so a refused package creates
// nothing. Names of other types, and entries that cannot be walked, fail later in the walk
// itself, with its errors.
bool refuse_unsafe_names(MethodCall& call, PyObject* package) {
    ModuleState* st = call.state;
    PyRef names = entry_if_present(package, st->s_filenames);
    if (!names) {
        return !PyErr_Occurred();
    }
    PyRef iterator = PyRef::steal(PyObject_GetIter(names.get()));
    if (!iterator) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
            return false;
        }
        PyErr_Clear();
        return true;
    }
    PyRef os = module_global(call.module, st->s_os);
    PyRef sep = os ? PyRef::steal(PyObject_GetAttr(os.get(), st->s_sep)) : PyRef{};
    PyRef altsep = sep ? PyRef::steal(PyObject_GetAttr(os.get(), st->s_altsep)) : PyRef{};
    if (!altsep) {
        return false;
    }
    while (PyRef name = PyRef::steal(PyIter_Next(iterator.get()))) {
        if (!PyUnicode_CheckExact(name.get())) {
            continue;
        }
        int unsafe = is_unsafe_name(name.get(), sep.get(), altsep.get());
        if (unsafe < 0) {
            return false;
        }
        if (unsafe > 0) {
            PyErr_Format(PyExc_ValueError, "refusing to restore %R: not a plain file name",
                         name.get());
            return false;
        }
    }
    return !PyErr_Occurred();
}

bool make_output_dir(MethodCall& call) {
    ModuleState* st = call.state;
    PyRef os = module_global(call.module, st->s_os);
    PyRef makedirs = os ? PyRef::steal(PyObject_GetAttr(os.get(), st->s_makedirs)) : PyRef{};
    PyRef args = PyRef::steal(PyTuple_Pack(1, DecodeParams(call.args).output_dir));
    PyRef kwargs = PyRef::steal(PyDict_New());
    if (!makedirs || !args || !kwargs ||
        PyDict_SetItem(kwargs.get(), st->s_exist_ok, Py_True) < 0) {
        return false;
    }
    PyRef made = PyRef::steal(PyObject_Call(makedirs.get(), args.get(), kwargs.get()));
    return static_cast<bool>(made);
}

// file.write(text) for each piece of a file's text.
class FileSink final : public TextSink {
public:
    FileSink(PyObject* file, PyObject* write_name) : file_(file), write_name_(write_name) {}

    bool write(PyObject* text) override {
        PyObject* args[] = {file_, text};
        PyRef written = PyRef::steal(PyObject_VectorcallMethod(write_name_, args, 2, nullptr));
        return static_cast<bool>(written);
    }

private:
    PyObject* file_;
    PyObject* write_name_;
};

// The calls that restore a file, looked up at the first file and kept for the rest of the call:
// `os.path.join` of the module's `os`, and the builtin `open` with its keyword arguments.
class FileRestorer {
public:
    explicit FileRestorer(MethodCall& call) : call_(call) {}

    // os.path.join(output_dir, filename)
    PyRef output_path(PyObject* filename) {
        ModuleState* st = call_.state;
        if (!join_) {
            PyRef os = module_global(call_.module, st->s_os);
            PyRef os_path = os ? PyRef::steal(PyObject_GetAttr(os.get(), st->s_path)) : PyRef{};
            join_ = os_path ? PyRef::steal(PyObject_GetAttr(os_path.get(), st->s_join)) : PyRef{};
            if (!join_) {
                return {};
            }
        }
        PyObject* args[] = {DecodeParams(call_.args).output_dir, filename};
        return PyRef::steal(PyObject_Vectorcall(join_.get(), args, 2, nullptr));
    }

    // Created (or truncated) first, then its text built and written (in one call unless it is
    // very long), so a token that is not a str leaves the file empty.
    bool restore(PyObject* path, RestoredTokens& restored, Py_ssize_t start, Py_ssize_t stop) {
        ModuleState* st = call_.state;
        if (!open_) {
            open_ = builtin(st->s_open);
            open_keywords_ =
                PyRef::steal(PyTuple_Pack(3, st->s_encoding, st->s_newline, st->s_opener));
            opener_ = new_no_symlink_opener(call_.module);
            if (!open_ || !open_keywords_ || !opener_) {
                open_.reset();
                return false;
            }
        }
        // open(path, "w", encoding="utf-8", newline="", opener=...): no newline translation on
        // the way out, and never through a symbolic link that was put where the file goes.
        PyObject* open_args[] = {path, st->s_mode_w, st->s_utf8, st->s_empty, opener_.get()};
        PyRef file = PyRef::steal(
            PyObject_Vectorcall(open_.get(), open_args, 2, open_keywords_.get()));
        if (!file) {
            return false;
        }
        FileSink sink(file.get(), st->s_write);
        const bool written = restored.write_slice(start, stop, sink);
        return close_file(st, file.get()) && written;
    }

private:
    MethodCall& call_;
    PyRef join_;
    PyRef open_;
    PyRef open_keywords_;
    PyRef opener_;
};

// How one call restores its files, decided once before the package is opened; the steps below
// follow it and decide nothing of their own. What only the package can tell sends files through
// `open`, after the files before them, whatever the plan: every file, for a vocabulary that the
// decoder's table cannot stand for (a token that is not a str or has no UTF-8 form); one file,
// for a text of more than kMostTextBytes or a name where something other than a regular file
// stands.
struct DecodePlan {
    // Files created and written by a worker thread, from UTF-8 texts built straight from the
    // decoder's token table, while this thread builds the texts after them. Only where no code
    // of the caller's takes part in writing a file: an object of the class itself, with the
    // interpreter's own `open` and `os.path.join`. Measured with `bench/bench_decode.py
    // --fast-paths` (median of each round's ratio, five runs on a busy 2-core machine), the
    // decode takes this much longer without it: CJK documents 8-28%, the documentation 5-12%,
    // small documentation files 0-14%, the standard library 0-4%.
    bool writing_thread = false;

    std::string trace_line() const {
        return std::string("decode_package writer=") +
               (writing_thread ? "thread" : "interpreter");
    }
};

DecodePlan plan_decode(MethodCall& call) {
    ModuleState* st = call.state;
    DecodePlan plan;
    plan.writing_thread = fast_path_on(FastPath::kWritingThread) &&
                          Py_TYPE(call.self_object()) == st->compressor_type &&
                          opens_as_imported(call.module, st, st->s_join, st->path_join);
    trace_plan(plan.trace_line());
    return plan;
}

// The names in the output directory where something other than a regular file stands (a FIFO,
// a device, a link, a directory), read once before the first file. A file of such a name is left
// to `open`: a FIFO may wait for a reader that another thread of this process provides, which
// the interpreter's `open` lets run while it waits, where the wait for the worker keeps the
// interpreter's lock. Stored names are plain names, so every output path is in this directory.
class IrregularNames {
public:
    explicit IrregularNames(const std::string& directory) {
        DIR* listing = directory.empty() ? nullptr : opendir(directory.c_str());
        if (listing == nullptr) {
            unlisted_ = true;
            return;
        }
        while (const dirent* entry = readdir(listing)) {
            struct stat info;
            const bool regular =
                entry->d_type == DT_REG ||
                (entry->d_type == DT_UNKNOWN &&
                 fstatat(dirfd(listing), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                 S_ISREG(info.st_mode));
            if (!regular) {
                names_.insert(entry->d_name);
            }
        }
        closedir(listing);
    }

    // Whether `fs_path` (the directory joined with a name) names such an entry.
    bool holds(const std::string& fs_path) const {
        if (unlisted_) {
            struct stat info;
            return lstat(fs_path.c_str(), &info) == 0 && !S_ISREG(info.st_mode);
        }
        return !names_.empty() && names_.count(fs_path.substr(fs_path.rfind('/') + 1)) != 0;
    }

private:
    std::unordered_set<std::string> names_;
    bool unlisted_ = false;  // the directory could not be listed: each path is looked at itself
};

// The file's text handed to the worker, when it can take it: false with an exception set on
// failure, else `queued_it` tells whether the file is the worker's.
bool queue_file(QueuedFileWrites& queued, const IrregularNames& irregular,
                RestoredTokens& restored, PyObject* path, Py_ssize_t start, Py_ssize_t stop,
                bool& queued_it) {
    queued_it = false;
    if (!restored.has_table()) {
        return true;
    }
    std::string fs_path = native_path(path);
    if (fs_path.empty()) {
        return true;  // a path that only `open` can say what is wrong with
    }
    if (irregular.holds(fs_path)) {
        return true;
    }
    Utf8Buffer text = queued.spare_buffer();
    bool whole = false;
    if (!restored.utf8_text(start, stop, QueuedFileWrites::kMostTextBytes, text, whole)) {
        return queued.abandon();
    }
    if (!whole) {
        return true;
    }
    queued_it = true;
    return queued.add(path, std::move(fs_path), std::move(text));
}

bool restore_files(MethodCall& call, const DecodePlan& plan, PyObject* package,
                   RestoredTokens& restored) {
    ModuleState* st = call.state;
    PyRef boundaries = PyRef::steal(PyObject_GetItem(package, st->s_file_boundaries));
    PyRef names = boundaries ? PyRef::steal(PyObject_GetItem(package, st->s_filenames)) : PyRef{};
    PyRef zip = names ? builtin(st->s_zip) : PyRef{};
    PyRef pairs = zip ? qvc::call(zip.get(), boundaries.get(), names.get()) : PyRef{};
    if (!pairs) {
        return false;
    }
    FileRestorer restorer(call);
    std::optional<QueuedFileWrites> queued;
    std::optional<IrregularNames> irregular;
    if (plan.writing_thread) {
        queued.emplace();
        if (!queued->start()) {
            queued.reset();
        }
        irregular.emplace(native_path(DecodeParams(call.args).output_dir));
    }
    // A failure at a file comes after those of the files queued before it; a signal's at once.
    auto fail = [&] { return queued ? queued->fail_after_queued() : false; };
    auto fail_at_once = [&] { return queued ? queued->abandon() : false; };
    int32_t start_idx = 0;
    while (PyRef pair = PyRef::steal(PyIter_Next(pairs.get()))) {
        if (PyErr_CheckSignals() != 0) {
            return fail_at_once();
        }
        PyRef boundary_item, filename;
        int32_t boundary;
        if (!unpack_pair(pair.get(), boundary_item, filename) ||
            !to_int32(boundary_item.get(), &boundary)) {
            return fail();
        }
        if (!PyUnicode_CheckExact(filename.get()) && filename.get() != Py_None) {
            raise_expected_type("str", filename.get());
            return fail();
        }
        PyRef path = restorer.output_path(filename.get());
        if (!path) {
            return fail();
        }
        if (queued) {
            bool queued_it = false;
            if (!queue_file(*queued, *irregular, restored, path.get(), start_idx, boundary,
                            queued_it)) {
                return false;
            }
            if (queued_it) {
                start_idx = boundary;
                continue;
            }
            // Written here, after the files before it.
            if (!queued->wait_for_all()) {
                return false;
            }
        }
        if (!restorer.restore(path.get(), restored, start_idx, boundary)) {
            return false;
        }
        start_idx = boundary;
    }
    if (PyErr_Occurred()) {
        return fail();
    }
    return !queued || queued->wait_for_all();
}

}  // namespace

PyObject* decode_package(MethodCall& call) {
    ModuleState* st = call.state;
    const bool use_zstd = DecodeParams(call.args).use_zstd;
    const DecodePlan plan = plan_decode(call);
    PyRef package = load_package(call);
    if (!package || !adopt_vocabulary(st, call.self, package.get())) {
        return nullptr;
    }
    PyRef data = PyRef::steal(PyObject_GetItem(package.get(), st->s_compressed));
    if (data && use_zstd) {
        data = decompress_stream(call.module, st, data.get());
    }
    if (!data) {
        return nullptr;
    }
    RestoredTokens restored;
    if (!RestoredTokens::decode(st, call.self, data.get(), restored)) {
        return nullptr;
    }
    data.reset();
    if (!refuse_unsafe_names(call, package.get()) || !make_output_dir(call) ||
        !restore_files(call, plan, package.get(), restored)) {
        return nullptr;
    }
    return PyObject_GetItem(package.get(), st->s_filenames);
}

}  // namespace qvc
