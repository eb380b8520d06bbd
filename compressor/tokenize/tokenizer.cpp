// tokenize and detokenize: splitting a text into its whitespace and non-whitespace runs, and
// joining token strings back into text.
#include "compressor/pyapi/interpreter_calls.hpp"
#include "compressor/pyapi/signal_poll.hpp"
#include "compressor/methods.hpp"
#include "compressor/threads/thread_start.hpp"
#include "compressor/tokenize/token_tables.hpp"
#include "compressor/tokenize/tokenizer.hpp"
#include "compressor/tokenize/whitespace_scanner.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <stop_token>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#if defined(__linux__)
#include <sched.h>
#endif

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qvc {
namespace {

// Adds `count` references to `obj` at once, with the effect of as many Py_INCREF calls.
inline void add_references(PyObject* obj, size_t count) noexcept {
#if defined(Py_GIL_DISABLED)
    // Reference counts shared between threads leave no single field to set.
    for (; count > 0; --count) {
        Py_INCREF(obj);
    }
#elif PY_VERSION_HEX >= 0x030C0000
    // A count beyond 31 bits marks an immortal object, whose count no longer changes (and which
    // Py_SET_REFCNT leaves alone); a count that would grow into that range is left to Py_INCREF,
    // which knows how it saturates.
    constexpr Py_ssize_t kImmortalBound = Py_ssize_t{1} << 31;
    const Py_ssize_t current = Py_REFCNT(obj);
    if (current >= kImmortalBound) {
        return;
    }
    if (count >= static_cast<size_t>(kImmortalBound - current)) {
        for (; count > 0; --count) {
            Py_INCREF(obj);
        }
        return;
    }
    Py_SET_REFCNT(obj, current + static_cast<Py_ssize_t>(count));
#else
    Py_SET_REFCNT(obj, Py_REFCNT(obj) + static_cast<Py_ssize_t>(count));
#endif
}

// Makes the string of a token of one text, as the interpreter's substring would make it.
template <typename Char>
class TokenStrings {
public:
    using Value = PyObject*;

    TokenStrings(PyObject* text, const Char* data) : text_(text), data_(data) {}

    // The one-character and whole-text cases give the interpreter's shared objects, as the
    // regular-expression search would.
    PyObject* make(size_t start, size_t end) {
        return PyUnicode_Substring(text_, static_cast<Py_ssize_t>(start),
                                   static_cast<Py_ssize_t>(end));
    }

    // As make(), but knowing what the key tells of the token's characters, which spares the
    // interpreter's search for the widest of them and, for a wider text, the conversion: a key
    // that holds Latin-1 bytes (any token of a 1-byte text, a narrowed one of a wider text) has
    // them all; a token of a 2-byte text that could not be narrowed has a character above
    // U+00FF.
    PyObject* make_short(const TokenKey<2>& key, size_t start, size_t end) {
        const size_t length = end - start;
        const bool latin1_key = sizeof(Char) == 1 || (key.words[1] & kNarrowedKeyFlag) != 0;
        if (length < 2 || (!latin1_key && sizeof(Char) != 2)) {
            return make(start, end);
        }
        Py_UCS4 widest;
        if (latin1_key) {
            const uint64_t characters = key.words[0] | (key.words[1] & ~in_last_byte(0xFF));
            widest = (characters & 0x8080808080808080ULL) == 0 ? 0x7F : 0xFF;
        } else {
            widest = 0xFFFF;
        }
        PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(length), widest);
        if (str != nullptr) {
            if (latin1_key) {
                std::memcpy(PyUnicode_1BYTE_DATA(str), key.words.data(), length);
            } else {
                std::memcpy(PyUnicode_DATA(str), data_ + start, length * sizeof(Char));
            }
        }
        return str;
    }

private:
    PyObject* text_;
    const Char* data_;
};

// Gives each string the references its uses hold. The table's own reference, which every
// string has from its making, becomes that of its first use, so that a string used once, like
// most distinct tokens of natural text, is not touched at all. The others lie all over the
// heap: each is fetched a few strings before its count is set.
template <typename Tables, typename StringOf>
void hand_over_references(const Tables& tables, StringOf&& string_of) noexcept {
    constexpr size_t kAhead = 8;
    struct Pending {
        PyObject* str;
        size_t uses;
    };
    Pending pending[kAhead];
    size_t count = 0;
    tables.for_each([&](auto value, size_t uses) {
        if (uses > 1) {
            PyObject* str = string_of(value);
            __builtin_prefetch(str, 1);
            Pending& slot = pending[count++ % kAhead];
            if (count > kAhead) {
                add_references(slot.str, slot.uses - 1);
            }
            slot = Pending{str, uses};
        }
    });
    for (size_t i = count > kAhead ? count - kAhead : 0; i < count; ++i) {
        add_references(pending[i % kAhead].str, pending[i % kAhead].uses - 1);
    }
}

// After a failed split, lets go of the list and of the strings the tables made without
// touching the items one by one, which for a text of billions of tokens would hold the failure
// up for seconds. The items borrowed their strings from the tables, which release their own
// references; only when a table handed out strings it did not keep (past kMaxEntries) does
// every item get its references as on success, for the list to release (items not reached are
// null). Returns whether the list was emptied.
template <typename Tables>
bool discard_split(PyObject* list, const Tables& tables) noexcept {
    if (!tables.kept_every_value()) {
        hand_over_references(tables, [](PyObject* str) { return str; });
        return false;
    }
    Py_SET_SIZE(list, 0);
    tables.for_each([](PyObject* str, size_t) { Py_DECREF(str); });
    return true;
}

// Sets the items of `list` to the tokens of the text, one string object per distinct token, on
// this thread alone. The strings handed out are borrowed from the tables, which count them and
// in the end give each string as many references as the list holds of it: the split thereby
// never touches a string object after creating it, where the reference count of a rare token
// would be a cache miss per occurrence. Answers signals. False with an exception set on
// failure, when the list is to be let go of as discard_split leaves it.
template <typename Char>
bool fill_items(PyObject* text, const Char* data, size_t length, const uint64_t* cuts,
                PyObject* list) {
    PyObject** items = reinterpret_cast<PyListObject*>(list)->ob_item;
    TokenStrings<Char> strings(text, data);
    TokenTables<Char, TokenStrings<Char>> tables(strings, data, length);
    SignalPoll poll(kTokensBetweenChecks);
    bool complete;
    try {
        complete = scan_tokens_of_cuts(cuts, length, [&](size_t start, size_t end) {
            if (!poll.tick()) [[unlikely]] {
                return false;
            }
            PyObject* token = tables.get(start, end);
            if (token == nullptr) [[unlikely]] {
                return false;
            }
            *items++ = token;
            return true;
        });
    } catch (const std::bad_alloc&) {
        // Thrown before a new token's string was made: the items set so far are counted.
        PyErr_NoMemory();
        complete = false;
    }
    if (!complete) {
        discard_split(list, tables);
        return false;
    }
    hand_over_references(tables, [](PyObject* str) { return str; });
    return true;
}

// The size of the unit that caches share between cores. What one thread writes often is kept
// apart from what the other reads or writes, so that a line does not travel between their
// caches at every turn.
inline constexpr size_t kCacheLine = 64;

// Values appended by one thread and read by another, up to a count published between them:
// storage comes in chunks that never move.
template <typename T>
class alignas(kCacheLine) ChunkedLog {
public:
    explicit ChunkedLog(size_t max_size) : chunks_((max_size >> kChunkShift) + 1) {}
    ChunkedLog(const ChunkedLog&) = delete;
    ChunkedLog& operator=(const ChunkedLog&) = delete;

    // A new last value, left for the caller to set; only for the writing thread. Throws
    // std::bad_alloc.
    T& append() {
        std::unique_ptr<T[]>& chunk = chunks_[size_ >> kChunkShift];
        if (!chunk) {
            chunk.reset(new T[kChunkSize]);
        }
        return chunk[size_++ & (kChunkSize - 1)];
    }

    // Values appended so far; only for the writing thread, or after joining it.
    size_t size() const noexcept { return size_; }

    const T& operator[](size_t index) const noexcept {
        return chunks_[index >> kChunkShift][index & (kChunkSize - 1)];
    }

private:
    static constexpr size_t kChunkShift = 14;
    static constexpr size_t kChunkSize = size_t{1} << kChunkShift;

    std::vector<std::unique_ptr<T[]>> chunks_;
    alignas(kCacheLine) size_t size_ = 0;  // the writer's alone
};

struct TokenSpan {
    size_t start;
    size_t end;
};

// Numbers the distinct tokens from 1, in order of first occurrence, logging the span of each
// one's first occurrence.
class FirstOccurrenceNumbering {
public:
    using Value = size_t;

    explicit FirstOccurrenceNumbering(ChunkedLog<TokenSpan>& spans) : spans_(spans) {}

    size_t make(size_t start, size_t end) {
        spans_.append() = TokenSpan{start, end};
        return spans_.size();
    }
    size_t make_short(const TokenKey<2>&, size_t start, size_t end) { return make(start, end); }

private:
    ChunkedLog<TokenSpan>& spans_;
};

// Below this many code points a text is split on the calling thread alone: a second thread
// costs some tens of microseconds to start.
inline constexpr size_t kSplitInParallelFrom = size_t{1} << 20;

// The text is shared out between the threads in pieces of this many blocks.
inline constexpr size_t kPieceBlocks = 1024;

// A piece of the text: the tokens that end in its blocks, the first of them starting at
// token_start and filling item first_item.
struct TextPiece {
    size_t first_block;
    size_t end_block;
    size_t token_start;
    size_t first_item;
};

// Whether this process may run on more than one processor now: the machine's count alone
// would not tell that it was confined to one, where a second thread only takes turns with the
// first.
bool can_run_two_threads() noexcept {
#if defined(__linux__)
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
        return CPU_COUNT(&allowed) > 1;
    }
#endif
    return std::thread::hardware_concurrency() > 1;
}

// One turn of waiting for the other thread; every so often the processor is given up, in case
// the other thread waits for it.
inline void pause_briefly(unsigned& spins) noexcept {
    if (++spins % 64 == 0) {
        std::this_thread::yield();
    } else {
#if defined(__SSE2__)
        _mm_pause();
#endif
    }
}

enum class ParallelFill { kDone, kFailed, kNotStarted };

// As fill_items, on two threads that share out the text's pieces, one taking them from the
// front and the other from the back until they meet. Finding each token's distinct token is
// most of the work and needs no interpreter: the second thread does it for its pieces with
// tables of its own, numbering their distinct tokens and logging where each first occurs, and
// keeps each token's number in its item. This thread fills its pieces as fill_items does and,
// between them, makes the strings of the logged tokens, with which the other thread then turns
// its items' numbers into strings. Equal tokens of pieces of different threads get strings of
// their own. On failure, the items of the other thread's pieces are null.
template <typename Char>
class TwoThreadSplit {
public:
    TwoThreadSplit(PyObject* text, const Char* data, size_t length, const uint64_t* cuts,
                   const std::vector<TextPiece>& pieces, PyObject* list, size_t count)
        : list_(list),
          items_(reinterpret_cast<PyListObject*>(list)->ob_item),
          cuts_(cuts),
          length_(length),
          pieces_(pieces),
          piece_count_(pieces.size()),
          count_(count),
          strings_(text, data),
          own_tables_(strings_, data, length),
          spans_(count),
          numbers_(spans_),
          numbered_tables_(numbers_, data, length),
          made_(count + 1) {
        made_.append() = nullptr;
    }
    TwoThreadSplit(const TwoThreadSplit&) = delete;
    TwoThreadSplit& operator=(const TwoThreadSplit&) = delete;

    // kNotStarted when no thread could be started, before anything was done.
    ParallelFill run() {
        std::jthread numbering;
        if (!start_thread(numbering,
                          [this](std::stop_token stop) { number_front_pieces(stop); })) {
            return ParallelFill::kNotStarted;
        }
        bool complete = fill_back_pieces();
        if (!complete) {
            numbering.request_stop();
        }
        numbering.join();
        if (complete && front_.out_of_memory) {
            PyErr_NoMemory();
            complete = false;
        }
        if (!complete) {
            discard();
            return ParallelFill::kFailed;
        }
        hand_over_references(own_tables_, [](PyObject* str) { return str; });
        hand_over_references(numbered_tables_, [&](size_t number) { return made_[number]; });
        return ParallelFill::kDone;
    }

private:
    // The other thread's numbered pieces, each with the highest number it holds, in the order
    // they were numbered; the first `converted` of them hold strings by now.
    struct NumberedPieces {
        std::vector<std::pair<size_t, size_t>> waiting;
        size_t converted = 0;
    };

    size_t end_item(size_t piece) const noexcept {
        return piece + 1 < piece_count_ ? pieces_[piece + 1].first_item : count_;
    }

    bool claim() noexcept {
        return claimed_.fetch_add(1, std::memory_order_relaxed) < piece_count_;
    }

    // The other thread's share: without the interpreter, it numbers the tokens of the pieces it
    // claims, then turns their numbers into the strings this thread makes meanwhile.
    void number_front_pieces(std::stop_token stop) {
        try {
            NumberedPieces numbered;
            numbered.waiting.reserve(piece_count_);
            while (!stop.stop_requested() && claim()) {
                const size_t piece = front_.pieces++;
                number_piece(piece);
                numbered.waiting.emplace_back(piece, spans_.size());
                spans_published_.store(spans_.size(), std::memory_order_release);
                convert_ready(numbered);
            }
            unsigned spins = 0;
            while (numbered.converted < numbered.waiting.size() && !stop.stop_requested()) {
                if (!convert_ready(numbered)) {
                    pause_briefly(spins);
                }
            }
        } catch (const std::bad_alloc&) {
            front_.out_of_memory = true;
        }
        finished_.store(true, std::memory_order_release);
    }

    // Keeps the number of each token of the piece in its item.
    void number_piece(size_t piece) {
        PyObject** const items = items_;
        const TextPiece& blocks = pieces_[piece];
        size_t item = blocks.first_item;
        scan_tokens_of_cut_blocks(cuts_, length_, blocks.first_block, blocks.end_block,
                                  blocks.token_start, [&](size_t start, size_t end) {
                                      const size_t number = numbered_tables_.get(start, end);
                                      std::memcpy(items + item++, &number, sizeof number);
                                      return true;
                                  });
    }

    // Turns the numbers of the pieces whose strings have all been made into those strings.
    // Whether any piece was turned.
    bool convert_ready(NumberedPieces& numbered) {
        PyObject** const items = items_;
        const size_t ready = made_published_.load(std::memory_order_acquire);
        const size_t before = numbered.converted;
        for (; numbered.converted < numbered.waiting.size() &&
               numbered.waiting[numbered.converted].second <= ready;
             ++numbered.converted) {
            const size_t piece = numbered.waiting[numbered.converted].first;
            for (size_t item = pieces_[piece].first_item; item < end_item(piece); ++item) {
                size_t number;
                std::memcpy(&number, items + item, sizeof number);
                items[item] = made_[number];
            }
        }
        return numbered.converted != before;
    }

    // This thread's share. The other thread does its share without the interpreter; this one
    // answers signals for both, between its pieces and while it waits, and makes the strings
    // of the tokens the other one numbered.
    bool fill_back_pieces() {
        try {
            unsigned spins = 0;
            size_t back_pieces = 0;
            for (;;) {
                if (spins % 1024 == 0 && PyErr_CheckSignals() != 0) {
                    return false;
                }
                if (!make_logged()) {
                    return false;
                }
                if (claim()) {
                    if (!fill_piece(piece_count_ - 1 - back_pieces++)) {
                        return false;
                    }
                } else if (finished_.load(std::memory_order_acquire)) {
                    return true;
                } else {
                    pause_briefly(spins);
                }
            }
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
    }

    // Sets the items of the piece to strings from this thread's own tables.
    bool fill_piece(size_t piece) {
        const TextPiece& blocks = pieces_[piece];
        PyObject** item = items_ + blocks.first_item;
        return scan_tokens_of_cut_blocks(cuts_, length_, blocks.first_block, blocks.end_block,
                                         blocks.token_start, [&](size_t start, size_t end) {
                                             PyObject* token = own_tables_.get(start, end);
                                             if (token == nullptr) [[unlikely]] {
                                                 return false;
                                             }
                                             *item++ = token;
                                             return true;
                                         });
    }

    // Makes the strings of the numbers logged so far.
    bool make_logged() {
        const size_t logged = spans_published_.load(std::memory_order_acquire);
        if (made_.size() > logged) {
            return true;
        }
        for (size_t number = made_.size(); number <= logged; ++number) {
            PyObject*& slot = made_.append();
            slot = strings_.make(spans_[number - 1].start, spans_[number - 1].end);
            if (slot == nullptr) {
                return false;
            }
        }
        made_published_.store(logged, std::memory_order_release);
        return true;
    }

    // After a failure, once the other thread has ended.
    void discard() noexcept {
        if (!discard_split(list_, own_tables_)) {
            // The other thread's items hold numbers, or strings it borrowed: none for the list.
            for (size_t piece = 0; piece < front_.pieces; ++piece) {
                std::fill(items_ + pieces_[piece].first_item, items_ + end_item(piece), nullptr);
            }
        }
        for (size_t number = 1; number < made_.size(); ++number) {
            Py_XDECREF(made_[number]);
        }
    }

    PyObject* list_;
    PyObject** items_;
    const uint64_t* cuts_;
    size_t length_;
    const std::vector<TextPiece>& pieces_;
    size_t piece_count_;
    size_t count_;
    TokenStrings<Char> strings_;
    TokenTables<Char, TokenStrings<Char>> own_tables_;
    ChunkedLog<TokenSpan> spans_;
    FirstOccurrenceNumbering numbers_;
    TokenTables<Char, FirstOccurrenceNumbering> numbered_tables_;
    ChunkedLog<PyObject*> made_;  // the string of each number, owned; 0 unused

    alignas(kCacheLine) std::atomic<size_t> claimed_{0};          // pieces taken by either thread
    alignas(kCacheLine) std::atomic<size_t> spans_published_{0};  // numbers logged
    alignas(kCacheLine) std::atomic<size_t> made_published_{0};   // numbers with a string
    alignas(kCacheLine) std::atomic<bool> finished_{false};
    // The other thread's, read once it has ended.
    struct alignas(kCacheLine) {
        size_t pieces = 0;
        bool out_of_memory = false;
    } front_;
};

template <typename Char>
PyObject* split_text(PyObject* text, const Char* data, size_t length) {
    // One scan classifies the text: its cut masks size the list, then lead the split, which
    // so reads an eighth of a byte a character instead of classifying every one again.
    // For a split on two threads it also plans the pieces.
    const size_t blocks = (length + kScanBlock - 1) / kScanBlock;
    const bool in_parallel = length >= kSplitInParallelFrom && can_run_two_threads();
    std::vector<uint64_t> cuts;
    cuts.reserve(blocks);
    std::vector<TextPiece> pieces;
    if (in_parallel) {
        pieces.reserve(blocks / kPieceBlocks + 1);
    }
    size_t count = length == 0 ? 0 : 1;
    size_t last_cut = 0;
    SignalPoll poll(kCodePointsBetweenChecks);
    const bool scanned = scan_cut_blocks(data, length, [&](size_t start, uint64_t block_cuts) {
        const size_t block = cuts.size();
        if (in_parallel && block % kPieceBlocks == 0) {
            pieces.push_back(TextPiece{block, std::min(block + kPieceBlocks, blocks), last_cut,
                                       count - 1});
        }
        cuts.push_back(block_cuts);
        if (block_cuts != 0) {
            count += count_bits(block_cuts);
            if (in_parallel) {
                last_cut = start + 63 - static_cast<size_t>(std::countl_zero(block_cuts));
            }
        }
        return poll.tick(kScanBlock);
    });
    if (!scanned) {
        return nullptr;
    }
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list || count == 0) {
        return list.release();
    }
    if (in_parallel) {
        TwoThreadSplit<Char> split(text, data, length, cuts.data(), pieces, list.get(), count);
        switch (split.run()) {
            case ParallelFill::kDone:
                return list.release();
            case ParallelFill::kFailed:
                return nullptr;
            case ParallelFill::kNotStarted:
                break;
        }
    }
    return fill_items(text, data, length, cuts.data(), list.get()) ? list.release() : nullptr;
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
    PyObject* text = TokenizeParams(call.args).text;
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
    return PyUnicode_Join(call.state->s_empty, DetokenizeParams(call.args).tokens);
}

}  // namespace qvc
