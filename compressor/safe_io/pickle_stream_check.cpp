#include "compressor/safe_io/pickle_stream_check.hpp"

#include "compressor/pyapi/py_ref.hpp"

#include <cstring>

namespace qvc {
namespace {

uint64_t read_little_endian(const unsigned char* p, size_t width) {
    uint64_t value = 0;
    for (size_t i = 0; i < width; ++i) {
        value |= static_cast<uint64_t>(p[i]) << (8 * i);
    }
    return value;
}

enum class Argument {
    None,
    Fixed,          // `width` bytes
    Counted,        // a `width`-byte little-endian length, then that many bytes
    SignedCounted,  // the same with a signed length, whose sign the unpickler checks itself
    Frame,          // a frame length: the opcodes inside the frame follow
    Line,           // text up to a newline
    TwoLines,       // two newline-terminated texts (module and name)
    MemoIndex,      // a `width`-byte memo index
    MemoIndexLine,  // a memo index as decimal text
    Stop,
    Unknown,
};

struct Opcode {
    Argument argument;
    size_t width;
};

Opcode describe(unsigned char op) {
    switch (op) {
        case 'K': case 'h': case 0x80: case 0x82: return {Argument::Fixed, 1};
        case 'M': case 0x83: return {Argument::Fixed, 2};
        case 'J': case 'j': case 0x84: return {Argument::Fixed, 4};
        case 'G': return {Argument::Fixed, 8};
        case 0x8A: case 'U': case 0x8C: case 'C': return {Argument::Counted, 1};
        case 'X': case 'B': return {Argument::Counted, 4};
        case 0x8B: case 'T': return {Argument::SignedCounted, 4};
        case 0x8D: case 0x8E: case 0x96: return {Argument::Counted, 8};
        case 0x95: return {Argument::Frame, 8};
        case 'q': return {Argument::MemoIndex, 1};
        case 'r': return {Argument::MemoIndex, 4};
        case 'p': return {Argument::MemoIndexLine, 0};
        case 'I': case 'L': case 'F': case 'S': case 'V': case 'g': case 'P':
            return {Argument::Line, 0};
        case 'c': case 'i': return {Argument::TwoLines, 0};
        case '.': return {Argument::Stop, 0};
        case '(': case '0': case '1': case '2': case 'N': case 0x88: case 0x89: case 'R':
        case 'b': case 'd': case '}': case 'e': case 'l': case ']': case 'o': case 's': case 't':
        case ')': case 'u': case 'a': case 0x85: case 0x86: case 0x87: case 0x81:
        case 0x92: case 0x93: case 0x94: case 0x8F: case 0x90: case 0x91: case 'Q':
        case 0x97: case 0x98:
            return {Argument::None, 0};
        default:
            return {Argument::Unknown, 0};
    }
}

constexpr char kTruncated[] = "pickle data was truncated";
constexpr char kMemoOutOfRange[] = "memo index out of range for a stream of this size";
constexpr char kBeyondMemory[] = "declared length larger than this machine's memory";

// The memo index of a text PUT line (newline included), read exactly as the unpickler reads it:
// the interpreter's integer parser on the line as a C string, so that everything `int()`
// accepts (a sign, surrounding whitespace, underscores between digits) is read alike, and
// parsing stops at a NUL byte as it does there. Nothing when the unpickler refuses the line
// (not a number, negative, beyond Py_ssize_t), which it does before growing its memo.
std::optional<uint64_t> text_memo_index(const unsigned char* line, size_t length) {
    if (length < 2) {
        return std::nullopt;
    }
    const std::string text(reinterpret_cast<const char*>(line), length);
    PyRef parsed = PyRef::steal(PyLong_FromString(text.c_str(), nullptr, 10));
    if (!parsed) {
        PyErr_Clear();
        return std::nullopt;
    }
    const Py_ssize_t index = PyLong_AsSsize_t(parsed.get());
    if (index < 0) {
        PyErr_Clear();
        return std::nullopt;
    }
    return static_cast<uint64_t>(index);
}

}  // namespace

std::optional<size_t> PickleStreamCheck::line_end(const unsigned char* data, size_t available,
                                                  size_t from) {
    // A line that arrives in many reads is searched once, not again from its start each time.
    const size_t start = from == line_search_from_ && line_searched_ > from ? line_searched_ : from;
    const void* newline =
        start < available ? std::memchr(data + start, '\n', available - start) : nullptr;
    if (newline == nullptr) {
        line_search_from_ = from;
        line_searched_ = available;
        return std::nullopt;
    }
    return static_cast<size_t>(static_cast<const unsigned char*>(newline) - data) + 1;
}

std::optional<PickleStreamCheck::Verdict> PickleStreamCheck::need_through(const Window& w,
                                                                         uint64_t end) {
    if (end <= w.available) {
        return std::nullopt;
    }
    if (w.complete || (w.size && end > *w.size)) {
        return refuse(kTruncated);
    }
    return need(end);
}

std::optional<PickleStreamCheck::Verdict> PickleStreamCheck::read_length(
    const Window& w, size_t argument, size_t width, bool is_signed, uint64_t& length,
    size_t& next) {
    if (auto verdict = need_through(w, argument + width)) {
        return verdict;
    }
    length = read_little_endian(w.data + argument, width);
    next = argument + width;
    if (is_signed && (length & 0x80000000u) != 0) {
        return stop_at(next);  // a negative count, which the unpickler refuses here
    }
    if (w.size && length > *w.size - next) {
        return refuse(kTruncated);
    }
    if (length > most_memory_) {
        return refuse(kBeyondMemory);
    }
    return std::nullopt;
}

std::optional<PickleStreamCheck::Verdict> PickleStreamCheck::read_memo_index(
    const Window& w, size_t pos, size_t width, size_t& next) {
    const size_t argument = pos + 1;
    if (auto verdict = need_through(w, argument + width)) {
        return verdict;
    }
    // A pickler numbers memo entries from 0 and writes at least one byte per entry, so no
    // honest index reaches the stream's length, nor the opcode's position.
    const uint64_t limit = w.size ? *w.size : pos;
    if (read_little_endian(w.data + argument, width) >= limit) {
        return refuse(kMemoOutOfRange);
    }
    next = argument + width;
    return std::nullopt;
}

std::optional<PickleStreamCheck::Verdict> PickleStreamCheck::read_memo_index_line(
    const Window& w, size_t pos, size_t& next) {
    const size_t argument = pos + 1;
    std::optional<size_t> end = line_end(w.data, w.available, argument);
    if (!end) {
        if (!w.complete) {
            return need(w.available + 1);
        }
        end = w.available;
    }
    std::optional<uint64_t> index = text_memo_index(w.data + argument, *end - argument);
    if (!index) {
        return stop_at(*end);
    }
    if (*index >= (w.size ? *w.size : pos)) {
        return refuse(kMemoOutOfRange);
    }
    next = *end;
    return std::nullopt;
}

std::optional<PickleStreamCheck::Verdict> PickleStreamCheck::read_lines(const Window& w,
                                                                       size_t argument,
                                                                       int lines, size_t& next) {
    std::optional<size_t> end = argument;
    for (int line = 0; line < lines && end; ++line) {
        end = line_end(w.data, w.available, *end);
    }
    if (!end) {
        return w.complete ? stop_at(w.available) : need(w.available + 1);
    }
    next = *end;
    return std::nullopt;
}

std::optional<PickleStreamCheck::Verdict> PickleStreamCheck::step(const Window& w, size_t pos,
                                                                 size_t& next) {
    const Opcode op = describe(w.data[pos]);
    const size_t argument = pos + 1;
    next = argument;
    uint64_t length = 0;
    switch (op.argument) {
        case Argument::None:
            return std::nullopt;
        case Argument::Fixed:
            next = argument + op.width;
            return need_through(w, next);
        case Argument::Counted:
        case Argument::SignedCounted:
            if (auto verdict = read_length(w, argument, op.width,
                                           op.argument == Argument::SignedCounted, length, next)) {
                return verdict;
            }
            // The unpickler allocates the declared length before reading it: it is read here
            // first, as far as the stream goes.
            if (auto verdict = need_through(w, uint64_t{next} + length)) {
                return verdict;
            }
            next += static_cast<size_t>(length);
            return std::nullopt;
        case Argument::Frame:
            // The opcodes inside the frame follow its length.
            return read_length(w, argument, op.width, false, length, next);
        case Argument::MemoIndex:
            return read_memo_index(w, pos, op.width, next);
        case Argument::MemoIndexLine:
            return read_memo_index_line(w, pos, next);
        case Argument::Line:
            return read_lines(w, argument, 1, next);
        case Argument::TwoLines:
            return read_lines(w, argument, 2, next);
        case Argument::Stop:
        case Argument::Unknown:
            break;
    }
    return stop_at(argument);
}

PickleStreamCheck::Verdict PickleStreamCheck::walk(const unsigned char* data, size_t available,
                                                   bool complete, size_t max_opcodes) {
    // Once everything has arrived, its size is known whatever the source.
    const Window window{data, available, complete,
                        complete ? std::optional<uint64_t>(available) : stream_size_};
    for (size_t walked = 0; walked < max_opcodes; ++walked) {
        const size_t pos = position_;
        if (pos >= available) {
            // The unpickler meets the end of the stream here and says so itself.
            return complete ? stop_at(available) : need(pos + 1);
        }
        size_t next = pos;
        if (auto verdict = step(window, pos, next)) {
            return *verdict;
        }
        position_ = next;
    }
    return Verdict::Paused;
}

}  // namespace qvc
