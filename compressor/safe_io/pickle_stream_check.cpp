#include "compressor/safe_io/pickle_stream_check.hpp"

#include <cstdint>
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

}  // namespace

bool pickle_sizes_fit(const unsigned char* data, size_t size, std::string& problem) {
    // A pickler numbers memo entries from 0 and writes at least one byte per entry, so no
    // honest index reaches the stream's length.
    const uint64_t memo_limit = size;
    size_t pos = 0;
    auto truncated = [&problem] {
        problem = "pickle data was truncated";
        return false;
    };
    auto line_end = [&](size_t from) -> size_t {
        const void* newline = from < size ? std::memchr(data + from, '\n', size - from) : nullptr;
        return newline == nullptr ? size : static_cast<const unsigned char*>(newline) - data;
    };
    while (pos < size) {
        Opcode op = describe(data[pos++]);
        size_t remaining = size - pos;
        switch (op.argument) {
            case Argument::None:
                break;
            case Argument::Fixed:
                if (remaining < op.width) {
                    return truncated();
                }
                pos += op.width;
                break;
            case Argument::Counted:
            case Argument::SignedCounted:
            case Argument::Frame: {
                if (remaining < op.width) {
                    return truncated();
                }
                uint64_t length = read_little_endian(data + pos, op.width);
                pos += op.width;
                if (op.argument == Argument::SignedCounted && (length & 0x80000000u) != 0) {
                    return true;  // a negative count, which the unpickler refuses here
                }
                if (length > size - pos) {
                    return truncated();
                }
                if (op.argument != Argument::Frame) {
                    pos += static_cast<size_t>(length);
                }
                break;
            }
            case Argument::MemoIndex: {
                if (remaining < op.width) {
                    return truncated();
                }
                uint64_t index = read_little_endian(data + pos, op.width);
                pos += op.width;
                if (index >= memo_limit) {
                    problem = "memo index out of range for a stream of this size";
                    return false;
                }
                break;
            }
            case Argument::MemoIndexLine: {
                size_t end = line_end(pos);
                uint64_t index = 0;
                for (size_t i = pos; i < end; ++i) {
                    if (data[i] < '0' || data[i] > '9') {
                        return true;  // not a plain number: the unpickler refuses it here
                    }
                    index = index * 10 + (data[i] - '0');
                    if (index >= memo_limit) {
                        problem = "memo index out of range for a stream of this size";
                        return false;
                    }
                }
                pos = end + 1;
                break;
            }
            case Argument::Line:
                pos = line_end(pos) + 1;
                break;
            case Argument::TwoLines:
                pos = line_end(line_end(pos) + 1) + 1;
                break;
            case Argument::Stop:
            case Argument::Unknown:
                return true;
        }
    }
    return true;
}

}  // namespace qvc
