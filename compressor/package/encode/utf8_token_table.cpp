#include "compressor/package/encode/utf8_token_table.hpp"

#include <algorithm>

namespace qvc {
namespace {

constexpr size_t kInitialSlots = size_t{1} << 16;

}  // namespace

Utf8TokenTable::Utf8TokenTable(size_t max_tokens)
    : seed_(process_hash_seed()), index_(max_tokens / kIndexChunk + 1) {
    slots_.assign(kInitialSlots, Slot{0, 0, 0, 0});
    recent_.assign(kRecentSlots, Slot{0, 0, 0, 0});
    mask_ = kInitialSlots - 1;
}

uint32_t Utf8TokenTable::add(const Key& key, const unsigned char* bytes, size_t length) {
    const size_t number = count_;
    std::unique_ptr<Entry[]>& chunk = index_[number >> kIndexShift];
    if (!chunk) {
        chunk.reset(new Entry[kIndexChunk]);
    }
    if (length > arena_room_) {
        const size_t block = std::max(kArenaBlock, length);
        arena_.reserve(arena_.size() + 1);
        arena_.emplace_back(new unsigned char[block]);
        arena_free_ = arena_.back().get();
        arena_room_ = block;
    }
    hashes_.push_back(key.hash);
    unsigned char* stored = arena_free_;
    std::memcpy(stored, bytes, length);
    arena_free_ += length;
    arena_room_ -= length;
    chunk[number & (kIndexChunk - 1)] = Entry{stored, length};
    ++count_;
    return static_cast<uint32_t>(number);
}

uint32_t Utf8TokenTable::add_unshared() {
    std::unique_ptr<Entry[]>& chunk = index_[count_ >> kIndexShift];
    if (!chunk) {
        chunk.reset(new Entry[kIndexChunk]);
    }
    hashes_.push_back(0);
    chunk[count_ & (kIndexChunk - 1)] = Entry{nullptr, 0};
    return static_cast<uint32_t>(count_++);
}

uint32_t Utf8TokenTable::settle(const Key& key, const unsigned char* bytes, size_t length) {
    size_t index = static_cast<size_t>(key.hash) & mask_;
    while (true) {
        const Slot& slot = slots_[index];
        if (slot.number_plus_one == 0) {
            break;
        }
        if (same(slot, key, bytes, length)) {
            recent_slot(key) = slot;
            return slot.number_plus_one - 1;
        }
        index = (index + 1) & mask_;
    }
    const uint32_t number = add(key, bytes, length);
    const Slot slot{key.head, key.tail, key.check, number + 1};
    slots_[index] = slot;
    recent_slot(key) = slot;
    if (count_ * 2 > slots_.size()) {
        grow();
    }
    return number;
}

void Utf8TokenTable::place(const Slot& slot, uint64_t hash) noexcept {
    size_t index = static_cast<size_t>(hash) & mask_;
    while (slots_[index].number_plus_one != 0) {
        index = (index + 1) & mask_;
    }
    slots_[index] = slot;
}

void Utf8TokenTable::grow() {
    SlotTable old(slots_.size() * 2, Slot{0, 0, 0, 0});
    old.swap(slots_);
    mask_ = slots_.size() - 1;
    for (const Slot& slot : old) {
        if (slot.number_plus_one != 0) {
            place(slot, hashes_[slot.number_plus_one - 1]);
        }
    }
}

void Utf8TokenTable::release_lookup() noexcept {
    std::vector<uint64_t, MappedAllocator<uint64_t>>().swap(hashes_);
    SlotTable().swap(slots_);
    std::vector<Slot>().swap(recent_);
    mask_ = 0;
}

void Utf8TokenTable::release() noexcept {
    release_lookup();
    std::vector<std::unique_ptr<Entry[]>>().swap(index_);
    std::vector<std::unique_ptr<unsigned char[]>>().swap(arena_);
    arena_free_ = nullptr;
    arena_room_ = 0;
    count_ = 0;
}

void Utf8TokenTable::truncate(size_t count) {
    if (count >= count_) {
        return;
    }
    // Rare (a file that changed under the reader): the table is rebuilt from what stays.
    std::fill(slots_.begin(), slots_.end(), Slot{0, 0, 0, 0});
    std::fill(recent_.begin(), recent_.end(), Slot{0, 0, 0, 0});
    for (uint32_t& single : single_byte_) {
        if (single > count) {
            single = 0;
        }
    }
    for (size_t number = 0; number < count; ++number) {
        const TokenBytes stored = token(number);
        if (stored.bytes == nullptr || (stored.length == 1 && stored.bytes[0] < 0x80)) {
            continue;
        }
        const Key key = key_of_stored(stored.bytes, stored.length);
        place(Slot{key.head, key.tail, key.check, static_cast<uint32_t>(number + 1)}, key.hash);
    }
    hashes_.resize(count);
    count_ = count;
    // The bytes of the forgotten tokens stay in the arena, unused: this happens once at most.
}

}  // namespace qvc
