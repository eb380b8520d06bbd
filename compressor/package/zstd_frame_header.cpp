#include "compressor/package/zstd_frame_header.hpp"

namespace qvc {
namespace {

constexpr uint32_t kFrameMagic = 0xFD2FB528;
constexpr size_t kMagicSize = 4;

uint64_t read_little_endian(const unsigned char* bytes, size_t width) noexcept {
    uint64_t value = 0;
    for (size_t i = width; i-- > 0;) {
        value = value << 8 | bytes[i];
    }
    return value;
}

// The header's size, from its descriptor: magic, descriptor, window descriptor, dictionary id,
// content size.
size_t header_size(unsigned descriptor) noexcept {
    const unsigned size_flag = descriptor >> 6;
    const bool single_segment = (descriptor >> 5 & 1) != 0;
    constexpr size_t kDictionaryIdSizes[4] = {0, 1, 2, 4};
    constexpr size_t kContentSizeSizes[4] = {0, 2, 4, 8};
    const size_t content_size_size =
        size_flag == 0 && single_segment ? 1 : kContentSizeSizes[size_flag];
    return kMagicSize + 1 + (single_segment ? 0 : 1) + kDictionaryIdSizes[descriptor & 3] +
           content_size_size;
}

}  // namespace

std::optional<size_t> frame_length(const unsigned char* data, size_t size) noexcept {
    if (size < kMagicSize + 1 || read_little_endian(data, kMagicSize) != kFrameMagic) {
        return std::nullopt;
    }
    const unsigned descriptor = data[kMagicSize];
    const bool has_checksum = (descriptor >> 2 & 1) != 0;
    size_t at = header_size(descriptor);
    constexpr size_t kBlockHeaderSize = 3;
    constexpr unsigned kRaw = 0, kRle = 1, kCompressed = 2;
    while (true) {
        if (at > size || size - at < kBlockHeaderSize) {
            return std::nullopt;
        }
        const uint64_t block_header = read_little_endian(data + at, kBlockHeaderSize);
        at += kBlockHeaderSize;
        const bool last = (block_header & 1) != 0;
        const unsigned type = static_cast<unsigned>(block_header >> 1 & 3);
        const size_t block_size = static_cast<size_t>(block_header >> 3);
        if (type != kRaw && type != kRle && type != kCompressed) {
            return std::nullopt;
        }
        const size_t content = type == kRle ? 1 : block_size;
        if (size - at < content) {
            return std::nullopt;
        }
        at += content;
        if (last) {
            break;
        }
    }
    if (has_checksum) {
        if (size - at < 4) {
            return std::nullopt;
        }
        at += 4;
    }
    return at;
}

std::optional<uint64_t> frame_content_size(const unsigned char* data, size_t size) noexcept {
    if (size < kMagicSize + 1 || read_little_endian(data, kMagicSize) != kFrameMagic) {
        return std::nullopt;
    }
    // Frame_Header_Descriptor: bits 7-6 content size flag, bit 5 single segment,
    // bits 1-0 dictionary id flag.
    const unsigned descriptor = data[kMagicSize];
    const unsigned size_flag = descriptor >> 6;
    const bool single_segment = (descriptor >> 5 & 1) != 0;
    constexpr size_t kDictionaryIdSizes[4] = {0, 1, 2, 4};
    const size_t dictionary_id_size = kDictionaryIdSizes[descriptor & 3];
    // Flag 0 means no size field, except in a single-segment frame, which always has one byte.
    constexpr size_t kContentSizeSizes[4] = {0, 2, 4, 8};
    const size_t content_size_size =
        size_flag == 0 && single_segment ? 1 : kContentSizeSizes[size_flag];
    if (content_size_size == 0) {
        return std::nullopt;
    }
    const size_t window_descriptor_size = single_segment ? 0 : 1;
    const size_t field_offset = kMagicSize + 1 + window_descriptor_size + dictionary_id_size;
    if (size < field_offset + content_size_size) {
        return std::nullopt;
    }
    uint64_t content_size = read_little_endian(data + field_offset, content_size_size);
    // The two-byte field stores the size less 256: sizes below 256 use the one-byte form.
    if (content_size_size == 2) {
        content_size += 256;
    }
    return content_size;
}

}  // namespace qvc
