// Reading the decompressed size that a Zstandard frame announces in its header, so that a package
// can be refused before the decompressor allocates that much.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace qvc {

// The Frame_Content_Size of the frame at the start of `data` (RFC 8878, 3.1.1): empty when the
// data does not begin with a Zstandard frame magic number, when its header is cut short, or when
// the header states no content size. Those cases are left to the decompressor, which refuses
// them without allocating anything for the content.
std::optional<uint64_t> frame_content_size(const unsigned char* data, size_t size) noexcept;

// The length of the Zstandard frame at the start of `data`, header, blocks and checksum, found by
// walking its block headers: empty when the data does not begin with a frame magic number or
// holds no whole frame of known block types.
std::optional<size_t> frame_length(const unsigned char* data, size_t size) noexcept;

}  // namespace qvc
