#include "compressor/package/encode/distinct_tokens.hpp"

namespace qvc {
namespace {

constexpr size_t kInitialSlots = size_t{1} << 16;

}  // namespace

DistinctTokens::DistinctTokens() : seed_(process_hash_seed()) {
    slots_.assign(kInitialSlots, Slot{0, 0, 0, 0});
    recent_.assign(kRecentSlots, Slot{0, 0, 0, 0});
    mask_ = kInitialSlots - 1;
    offsets_.push_back(0);
}

bool DistinctTokens::number_text(PyObject* text, uint32_t* out, size_t count) {
    const size_t length = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            return number_tokens_of(PyUnicode_1BYTE_DATA(text), length, out, count);
        case PyUnicode_2BYTE_KIND:
            return number_tokens_of(PyUnicode_2BYTE_DATA(text), length, out, count);
        default:
            return number_tokens_of(PyUnicode_4BYTE_DATA(text), length, out, count);
    }
}

void DistinctTokens::stop_numbering() {
    SlotTable().swap(slots_);
    std::vector<Slot>().swap(recent_);
    Column<uint64_t>().swap(hashes_);
    for (std::vector<unsigned char>& scratch : scratch_) {
        std::vector<unsigned char>().swap(scratch);
    }
    mask_ = 0;
}

void DistinctTokens::release() {
    stop_numbering();
    Column<unsigned char>().swap(code_points_);
    Column<uint64_t>().swap(offsets_);
    Column<uint8_t>().swap(kinds_);
}

PyObject* DistinctTokens::new_str(uint32_t number) const {
    const uint64_t offset = offsets_[number];
    const int kind = kinds_[number];
    const size_t length =
        static_cast<size_t>(offsets_[number + 1] - offset) / static_cast<size_t>(kind);
    return PyUnicode_FromKindAndData(kind, code_points_.data() + offset,
                                     static_cast<Py_ssize_t>(length));
}

uint32_t DistinctTokens::add(const Pending& pending) {
    const uint32_t number = static_cast<uint32_t>(kinds_.size());
    if (pending.kind == 0) {
        code_points_.push_back(static_cast<unsigned char>(pending.head));
        kinds_.push_back(1);
        hashes_.push_back(0);
    } else {
        if (pending.bytes == nullptr) {
            unsigned char bytes[kShortBytes];
            std::memcpy(bytes, &pending.head, 8);
            std::memcpy(bytes + 8, &pending.tail, 8);
            code_points_.insert(code_points_.end(), bytes, bytes + pending.byte_length);
        } else {
            code_points_.insert(code_points_.end(), pending.bytes,
                                pending.bytes + pending.byte_length);
        }
        kinds_.push_back(pending.kind);
        hashes_.push_back(pending.hash);
    }
    offsets_.push_back(code_points_.size());
    return number;
}

bool DistinctTokens::same_long_token(uint32_t number, const Pending& pending) const noexcept {
    const uint64_t offset = offsets_[number];
    return hashes_[number] == pending.hash && kinds_[number] == pending.kind &&
           offsets_[number + 1] - offset == pending.byte_length &&
           std::memcmp(code_points_.data() + offset, pending.bytes, pending.byte_length) == 0;
}

uint32_t DistinctTokens::settle(const Pending& pending) {
    if (pending.kind == 0) {
        uint32_t& single = single_char_[pending.head];
        if (single == 0) {
            single = add(pending) + 1;
        }
        return single - 1;
    }
    size_t index = static_cast<size_t>(pending.hash) & mask_;
    while (true) {
        const Slot& slot = slots_[index];
        if (slot.number_plus_one == 0) {
            break;
        }
        if (same_token(slot, pending)) {
            recent_slot(pending) = slot;
            return slot.number_plus_one - 1;
        }
        index = (index + 1) & mask_;
    }
    const uint32_t number = add(pending);
    const Slot slot{pending.head, pending.tail, pending.check, number + 1};
    slots_[index] = slot;
    recent_slot(pending) = slot;
    // Counting the one-character tokens too (held elsewhere) keeps the table at most half full.
    if (kinds_.size() * 2 > slots_.size()) {
        grow();
    }
    return number;
}

void DistinctTokens::grow() {
    SlotTable old(slots_.size() * 2, Slot{0, 0, 0, 0});
    old.swap(slots_);
    mask_ = slots_.size() - 1;
    for (const Slot& slot : old) {
        if (slot.number_plus_one == 0) {
            continue;
        }
        size_t index = static_cast<size_t>(hashes_[slot.number_plus_one - 1]) & mask_;
        while (slots_[index].number_plus_one != 0) {
            index = (index + 1) & mask_;
        }
        slots_[index] = slot;
    }
}

}  // namespace qvc
