#include "compressor/package/encode/package_pickling.hpp"

#include "compressor/plan/fast_path_switches.hpp"
#include "compressor/pyapi/interpreter_calls.hpp"
#include "compressor/pyapi/signal_poll.hpp"
#include "compressor/threads/thread_start.hpp"

#include <array>
#include <climits>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

namespace qvc {
namespace {

// The pickler's constants (protocol 4, which pickle.dump writes by default up to Python 3.13;
// 3.14 writes protocol 5).
constexpr bool kProtocolIsTheDefault = PY_VERSION_HEX < 0x030E0000;
constexpr size_t kFrameTarget = 64 * 1024;  // a frame is closed once it is this long
constexpr size_t kFrameHeader = 9;
constexpr size_t kFrameMinimum = 4;  // shorter frames get no header
constexpr size_t kBatch = 1000;      // items between MARK and APPENDS / SETITEMS
constexpr char kProto = '\x80', kFrame = '\x95', kStop = '.', kMark = '(', kMemoize = '\x94';
constexpr char kEmptyDict = '}', kEmptyList = ']', kSetItems = 'u', kSetItem = 's';
constexpr char kAppends = 'e', kAppend = 'a', kBinGet = 'h', kLongBinGet = 'j';
constexpr char kBinInt1 = 'K', kBinInt2 = 'M', kBinInt = 'J';
constexpr char kShortBinUnicode = '\x8c', kBinUnicode = 'X', kShortBinBytes = 'C', kBinBytes = 'B';

// The pickler's output and its frames: a frame is closed, at the start of saving an object, once
// it holds kFrameTarget bytes; a str or bytes of that size or more goes outside any frame.
class PickleOutput {
public:
    void write(const void* bytes, size_t length) {
        if (frame_start_ == kNoFrame) {
            frame_start_ = out_.size();
            out_.append(kFrameHeader, '\0');
        }
        out_.append(static_cast<const char*>(bytes), length);
    }
    void op(char opcode) { write(&opcode, 1); }
    void op(char opcode, uint64_t argument, int bytes) {
        char buffer[9] = {opcode};
        for (int i = 0; i < bytes; ++i) {
            buffer[1 + i] = static_cast<char>(argument >> (8 * i));
        }
        write(buffer, static_cast<size_t>(1 + bytes));
    }
    void before_save() {
        if (frame_start_ != kNoFrame && out_.size() - frame_start_ - kFrameHeader >= kFrameTarget) {
            close_frame();
        }
    }
    void close_frame() {
        if (frame_start_ == kNoFrame) {
            return;
        }
        const uint64_t length = out_.size() - frame_start_ - kFrameHeader;
        if (length >= kFrameMinimum) {
            out_[frame_start_] = kFrame;
            for (int i = 0; i < 8; ++i) {
                out_[frame_start_ + 1 + i] = static_cast<char>(length >> (8 * i));
            }
        } else {
            out_.erase(frame_start_, kFrameHeader);
        }
        frame_start_ = kNoFrame;
    }
    // An opcode with a length and its payload: outside the frames (both) when the payload is
    // long.
    void payload(char short_op, char long_op, const void* bytes, size_t length) {
        char header[5] = {length <= 0xFF ? short_op : long_op};
        const size_t header_length = length <= 0xFF ? 2 : 5;
        for (size_t i = 1; i < header_length; ++i) {
            header[i] = static_cast<char>(length >> (8 * (i - 1)));
        }
        if (length < kFrameTarget) {
            write(header, header_length);
            write(bytes, length);
            return;
        }
        close_frame();
        out_.append(header, header_length);
        out_.append(static_cast<const char*>(bytes), length);
    }
    std::string& bytes() noexcept { return out_; }

private:
    static constexpr size_t kNoFrame = SIZE_MAX;
    std::string out_;
    size_t frame_start_ = kNoFrame;
};

// A str's characters as UTF-8, code points of surrogates written as three bytes each (the
// pickler's "surrogatepass").
void append_utf8(const PyObject* str, std::string& out) {
    PyObject* s = const_cast<PyObject*>(str);
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(s);
    out.clear();
    if (PyUnicode_IS_ASCII(s)) {
        out.append(static_cast<const char*>(data), static_cast<size_t>(length));
        return;
    }
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
}

// Whether `pickle` in the module namespace, and its `dump`, are the ones of the interpreter.
bool interpreters_pickle(MethodCall& call) {
    ModuleState* st = call.state;
    PyObject* pickle = PyDict_GetItemWithError(PyModule_GetDict(call.module), st->s_pickle);
    if (pickle == nullptr || pickle != st->pickle_module) {
        PyErr_Clear();
        return false;
    }
    PyObject* dump = PyDict_GetItemWithError(PyModule_GetDict(pickle), st->s_dump);
    PyErr_Clear();
    return dump == st->pickle_dump;
}

// An exact int in the 32-bit range, read without running any code.
bool small_int(PyObject* value, int32_t* out) {
    if (!PyLong_CheckExact(value)) {
        return false;
    }
    int overflow = 0;
    const long x = PyLong_AsLongAndOverflow(value, &overflow);
    if (overflow != 0 || x < INT32_MIN || x > INT32_MAX) {
        PyErr_Clear();
        return false;
    }
    *out = static_cast<int32_t>(x);
    return true;
}

void save_int(PickleOutput& out, int32_t value) {
    out.before_save();
    if (value >= 0 && value <= 0xFF) {
        out.op(kBinInt1, static_cast<uint64_t>(value), 1);
    } else if (value >= 0 && value <= 0xFFFF) {
        out.op(kBinInt2, static_cast<uint64_t>(value), 2);
    } else {
        out.op(kBinInt, static_cast<uint32_t>(value), 4);
    }
}

}  // namespace

// What the tail is made of, taken while holding the interpreter's lock, then pickled on a
// thread of its own: the objects it reads are kept alive by the references held here and never
// change (strs, bytes), and nothing of the interpreter is called there.
class PackagePickle::Tail {
public:
    ~Tail() {
        join();
        if (!thread_may_use_interpreter()) {
            return;
        }
        for (PyObject* obj : held_) {
            Py_DECREF(obj);
        }
    }

    bool snapshot(MethodCall& call, PyObject* file_boundaries, PyObject* filenames) {
        ModuleState* st = call.state;
        vocabulary_ = PyRef::borrow(call.self->global_dict);
        PyObject* vocabulary = vocabulary_.get();
        if (!PyDict_CheckExact(vocabulary) || !interpreters_pickle(call)) {
            return false;
        }
        keys_ = {st->s_compressed, st->s_file_boundaries, st->s_filenames, st->s_global_dict};
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(file_boundaries); ++i) {
            int32_t value;
            if (!small_int(PyList_GET_ITEM(file_boundaries, i), &value)) {
                return false;
            }
            boundaries_.push_back(value);
        }
        held_.reserve(static_cast<size_t>(PyList_GET_SIZE(filenames) + PyDict_GET_SIZE(vocabulary)));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(filenames); ++i) {
            PyObject* name = PyList_GET_ITEM(filenames, i);
            if (!PyBytes_CheckExact(name) && !(PyUnicode_CheckExact(name) && ready(name))) {
                return false;
            }
            held_.push_back(Py_NewRef(name));
        }
        names_ = held_.size();
        entries_.reserve(static_cast<size_t>(PyDict_GET_SIZE(vocabulary)));
        // A signal handler may change the vocabulary and so free the key and value that
        // PyDict_Next lends: each entry is held (its key) and read (its id) before a handler
        // can run. What a handler changes shows in still_current, before anything is written.
        SignalPoll poll(kTokensBetweenChecks);
        Py_ssize_t position = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(vocabulary, &position, &key, &value)) {
            int32_t id;
            if (!PyUnicode_CheckExact(key) || !ready(key) || !small_int(value, &id)) {
                return false;
            }
            held_.push_back(Py_NewRef(key));
            entries_.push_back(id);
            if (!poll.tick()) {
                return false;
            }
        }
        return true;
    }

    void start() {
        if (!start_thread(thread_, [this] { pickle_or_give_up(); })) {
            pickle_or_give_up();
        }
    }

    void join() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    // Pickled whole, and the vocabulary still holds what the snapshot took: the same key objects
    // (one may be memoized as a file name) with the same ids, in the same order. Code run since
    // the snapshot (a signal handler, a finalizer the garbage collector calls) may have changed
    // any entry, whatever the size.
    bool still_current(MethodCall& call) const {
        PyObject* vocabulary = vocabulary_.get();
        if (!pickled_ || vocabulary != call.self->global_dict || !interpreters_pickle(call) ||
            static_cast<size_t>(PyDict_GET_SIZE(vocabulary)) != entries_.size()) {
            return false;
        }
        Py_ssize_t position = 0;
        PyObject* key;
        PyObject* value;
        for (size_t i = 0; PyDict_Next(vocabulary, &position, &key, &value); ++i) {
            int32_t id;
            if (i == entries_.size() || key != held_[names_ + i] || !small_int(value, &id) ||
                id != entries_[i]) {
                return false;
            }
        }
        return true;
    }

    // The pickle up to the stream's bytes: PROTO 4, one frame holding the package's dict, its
    // MARK and its first key, then the stream's opcode.
    PyRef head(PyObject* compressed) const {
        PickleOutput out;
        out.op(kEmptyDict);
        out.op(kMemoize);
        out.op(kMark);
        std::string utf8;
        append_utf8(keys_[0], utf8);
        out.payload(kShortBinUnicode, kBinUnicode, utf8.data(), utf8.size());
        out.op(kMemoize);
        out.close_frame();
        std::string head{kProto, '\x04'};
        head += out.bytes();
        const uint64_t length = static_cast<uint64_t>(PyBytes_GET_SIZE(compressed));
        head.push_back(kBinBytes);
        for (int i = 0; i < 4; ++i) {
            head.push_back(static_cast<char>(length >> (8 * i)));
        }
        return PyRef::steal(PyBytes_FromStringAndSize(head.data(),
                                                      static_cast<Py_ssize_t>(head.size())));
    }

    // The pickle after the stream's bytes, as a view of this object's memory.
    PyRef tail_view() {
        std::string& bytes = out_.bytes();
        return PyRef::steal(PyMemoryView_FromMemory(bytes.data(),
                                                    static_cast<Py_ssize_t>(bytes.size()),
                                                    PyBUF_READ));
    }

private:
    static bool ready(PyObject* str) {
#if PY_VERSION_HEX < 0x030C0000
        if (PyUnicode_READY(str) < 0) {
            PyErr_Clear();
            return false;
        }
#else
        (void)str;
#endif
        return true;
    }

    // Memo indices of the objects memoized before the vocabulary's keys that a later object
    // may be: the package's keys and the file names. (The package's dict is 0 and the stream 2.)
    void save_memoizable(PyObject* obj, bool is_bytes) {
        out_.before_save();
        auto found = memo_.find(obj);
        if (found != memo_.end()) {
            if (found->second <= 0xFF) {
                out_.op(kBinGet, found->second, 1);
            } else {
                out_.op(kLongBinGet, found->second, 4);
            }
            return;
        }
        if (is_bytes) {
            out_.payload(kShortBinBytes, kBinBytes, PyBytes_AS_STRING(obj),
                         static_cast<size_t>(PyBytes_GET_SIZE(obj)));
        } else {
            append_utf8(obj, utf8_);
            out_.payload(kShortBinUnicode, kBinUnicode, utf8_.data(), utf8_.size());
        }
        memoize(obj);
    }

    void memoize(PyObject* obj) {
        if (obj != nullptr && remember_) {
            memo_.emplace(obj, memo_count_);
        }
        ++memo_count_;
        out_.op(kMemoize);
    }

    // batch_list: one item with APPEND, else batches of MARK items APPENDS.
    template <typename SaveItem>
    void save_list(size_t count, SaveItem&& save_item) {
        out_.before_save();
        out_.op(kEmptyList);
        memoize(nullptr);
        if (count == 1) {
            save_item(0);
            out_.op(kAppend);
            return;
        }
        for (size_t done = 0; done < count;) {
            out_.op(kMark);
            for (size_t in_batch = 0; done < count && in_batch < kBatch; ++in_batch) {
                save_item(done++);
            }
            out_.op(kAppends);
        }
    }

    // Out of memory on this thread, the package is left to the interpreter's pickler, which
    // raises MemoryError where it runs out as well.
    void pickle_or_give_up() noexcept {
        try {
            pickle();
            pickled_ = true;
        } catch (const std::bad_alloc&) {
            out_ = PickleOutput();
            decltype(memo_)().swap(memo_);
        }
    }

    void pickle() {
        memo_count_ = 3;
        memo_.emplace(keys_[0], 1);
        out_.op(kMemoize);  // the stream's
        save_memoizable(keys_[1], false);
        save_list(boundaries_.size(), [&](size_t i) { save_int(out_, boundaries_[i]); });
        save_memoizable(keys_[2], false);
        save_list(names_, [&](size_t i) {
            PyObject* name = held_[i];
            save_memoizable(name, PyBytes_CheckExact(name));
        });
        save_memoizable(keys_[3], false);
        // The vocabulary: nothing after it can be one of its keys, so they are only looked up.
        out_.before_save();
        out_.op(kEmptyDict);
        memoize(nullptr);
        remember_ = false;
        const size_t count = entries_.size();
        auto save_entry = [&](size_t i) {
            save_memoizable(held_[names_ + i], false);
            save_int(out_, entries_[i]);
        };
        if (count == 1) {
            save_entry(0);
            out_.op(kSetItem);
        } else if (count > 1) {
            // A batch that ends the dict exactly is followed by an empty one, as the pickler
            // only stops after a batch of fewer items.
            size_t done = 0;
            size_t in_batch;
            do {
                out_.op(kMark);
                for (in_batch = 0; done < count && in_batch < kBatch; ++in_batch) {
                    save_entry(done++);
                }
                out_.op(kSetItems);
            } while (in_batch == kBatch);
        }
        out_.op(kSetItems);  // the package's four entries
        out_.op(kStop);
        out_.close_frame();
    }

    PyRef vocabulary_;
    std::array<PyObject*, 4> keys_{};  // the package's keys, which the module keeps alive
    std::vector<int32_t> boundaries_;
    std::vector<PyObject*> held_;  // file names, then the vocabulary's keys
    size_t names_ = 0;
    std::vector<int32_t> entries_;  // the vocabulary's ids

    PickleOutput out_;
    std::string utf8_;
    std::unordered_map<const PyObject*, uint32_t> memo_;
    uint32_t memo_count_ = 0;
    bool remember_ = true;
    bool pickled_ = false;  // read once the thread is joined
    std::thread thread_;
};

PackagePickle::PackagePickle() = default;
PackagePickle::~PackagePickle() = default;

bool PackagePickle::prepare(MethodCall& call, PyObject* file_boundaries, PyObject* filenames) {
    if (!kProtocolIsTheDefault || !fast_path_on(FastPath::kOwnPickler)) {
        return true;
    }
    auto tail = std::make_unique<Tail>();
    if (!tail->snapshot(call, file_boundaries, filenames)) {
        return !PyErr_Occurred();
    }
    tail->start();
    tail_ = std::move(tail);
    return true;
}

bool PackagePickle::write(MethodCall& call, PyObject* package, PyObject* compressed,
                          PyObject* file) {
    ModuleState* st = call.state;
    if (tail_) {
        tail_->join();
    }
    const bool prepared = tail_ && PyBytes_CheckExact(compressed) &&
                          static_cast<size_t>(PyBytes_GET_SIZE(compressed)) >= kFrameTarget &&
                          static_cast<uint64_t>(PyBytes_GET_SIZE(compressed)) <= UINT32_MAX &&
                          tail_->still_current(call);
    trace_plan(prepared ? "package pickle: own" : "package pickle: interpreter's pickle.dump");
    if (!prepared) {
        PyRef pickle = module_global(call.module, st->s_pickle);
        return pickle &&
               static_cast<bool>(call_method(pickle.get(), st->s_dump, package, file));
    }
    PyRef head = tail_->head(compressed);
    PyRef tail = head ? tail_->tail_view() : PyRef{};
    if (!tail) {
        return false;
    }
    for (PyObject* part : {head.get(), compressed, tail.get()}) {
        if (!call_method(file, st->s_write, part)) {
            return false;
        }
    }
    return true;
}

}  // namespace qvc
