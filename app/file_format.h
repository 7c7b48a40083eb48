// The layout of an encrypted file.
//
// Bytes 0..53 are a header in clear, copied through unchanged. The rest, the
// body, is a run of 128-byte chunks, the last one possibly shorter. Each
// chunk is a ciphertext of its own: AES-256 in CFB mode (128-bit feedback)
// under the 32-byte key, the feedback starting from kChunkIv at every chunk.
// There is no magic number, length field or checksum.
//
// decryptedSize(n): the length of the decrypted file for an input of n
// bytes: the header, then one 128-byte chunk per started chunk of the body
// and one more when the body ends on a chunk boundary (an empty body too);
// just the header when the input is shorter than that.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace unseal {

inline constexpr std::size_t kHeaderSize = 54;
inline constexpr std::size_t kChunkSize = 128;
inline constexpr std::string_view kChunkIv = "5555555555555555";

constexpr std::uint64_t decryptedSize(std::uint64_t inputSize) noexcept {
  if (inputSize < kHeaderSize) return kHeaderSize;
  return kHeaderSize + kChunkSize * ((inputSize - kHeaderSize) / kChunkSize + 1);
}

}  // namespace unseal
