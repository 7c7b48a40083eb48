// The layout of an encrypted file.
//
// Bytes 0..53 are a header in clear, copied through unchanged. The rest, the
// body, is a run of 128-byte chunks, the last one possibly shorter. Each
// chunk is a ciphertext of its own: AES-256 in CFB mode (128-bit feedback)
// under the 32-byte key, the feedback starting from kChunkIv at every chunk.
// There is no magic number, length field or checksum.
#pragma once

#include <cstddef>
#include <string_view>

namespace unseal {

inline constexpr std::size_t kHeaderSize = 54;
inline constexpr std::size_t kChunkSize = 128;
inline constexpr std::string_view kChunkIv = "5555555555555555";

}  // namespace unseal
