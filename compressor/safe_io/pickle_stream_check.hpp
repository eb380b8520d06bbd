// A walk over a pickle stream's opcodes, as its bytes arrive and before any of it is unpickled,
// that refuses what would make the interpreter's unpickler allocate far more memory than the
// stream holds: a length field larger than the rest of the stream (the unpickler allocates the
// declared size up front) and a memo index far beyond any a pickler writes (the unpickler grows
// and clears its memo table to twice the index). It also tells where the unpickler will stop, so
// that nothing after the stream's end is read or judged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace qvc {

class PickleStreamCheck {
public:
    enum class Verdict {
        NeedBytes,  // the walk goes on once the stream holds needed() bytes
        Paused,     // the walk took its share of opcodes; it goes on at the next call
        End,        // the unpickler stops within the first end() bytes, at the STOP opcode or at
                    // an opcode it refuses; nothing after them need be read
        Refused,    // a declared size does not fit: problem() is the UnpicklingError's message
    };

    // `stream_size` is the size of the whole stream when it is known in advance (a regular
    // file); otherwise sizes are judged against what has arrived once it has all arrived, and
    // a length beyond `most_memory` (what the machine could hold at all) is refused at once.
    PickleStreamCheck(std::optional<uint64_t> stream_size, uint64_t most_memory)
        : stream_size_(stream_size), most_memory_(most_memory) {}

    // Walks on over the first `available` bytes of the stream, at most `max_opcodes` of them.
    // `complete`: no byte will come after them. Must be called with the interpreter held: the
    // text memo index is read by the interpreter's own integer parser, as the unpickler reads it.
    Verdict walk(const unsigned char* data, size_t available, bool complete, size_t max_opcodes);

    uint64_t needed() const noexcept { return needed_; }
    size_t end() const noexcept { return end_; }
    const std::string& problem() const noexcept { return problem_; }

private:
    Verdict need(uint64_t bytes) noexcept {
        needed_ = bytes;
        return Verdict::NeedBytes;
    }
    Verdict stop_at(size_t end) noexcept {
        end_ = end;
        return Verdict::End;
    }
    Verdict refuse(const char* problem) {
        problem_ = problem;
        return Verdict::Refused;
    }
    // The bytes a walk runs over, and what is known of where the stream ends.
    struct Window {
        const unsigned char* data;
        size_t available;
        bool complete;
        std::optional<uint64_t> size;
    };
    // Each of these reads the argument of one opcode: on success it sets `next` to the position
    // just past it and gives nothing; otherwise it gives the verdict that ends the walk there.
    std::optional<Verdict> step(const Window& w, size_t pos, size_t& next);
    // A length field of `width` bytes, judged against the stream and the machine's memory.
    std::optional<Verdict> read_length(const Window& w, size_t argument, size_t width,
                                       bool is_signed, uint64_t& length, size_t& next);
    std::optional<Verdict> read_memo_index(const Window& w, size_t pos, size_t width,
                                           size_t& next);
    std::optional<Verdict> read_memo_index_line(const Window& w, size_t pos, size_t& next);
    std::optional<Verdict> read_lines(const Window& w, size_t argument, int lines, size_t& next);
    // Nothing when the first `end` bytes have arrived; else whether to wait or refuse.
    std::optional<Verdict> need_through(const Window& w, uint64_t end);
    // Where the line starting at `from` ends (just past its newline), if it has arrived.
    std::optional<size_t> line_end(const unsigned char* data, size_t available, size_t from);

    std::optional<uint64_t> stream_size_;
    uint64_t most_memory_;
    size_t position_ = 0;       // of the next opcode
    // How far the line not yet complete that starts at line_search_from_ has been searched.
    size_t line_search_from_ = 0;
    size_t line_searched_ = 0;
    uint64_t needed_ = 0;
    size_t end_ = 0;
    std::string problem_;
};

}  // namespace qvc
