#include "app/chunk_cipher.h"

#include <algorithm>
#include <cstring>

#include "cipher/wipe.h"

namespace unseal {
namespace {

void xorInto(std::uint8_t* target, const std::uint8_t* source, std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i) target[i] ^= source[i];
}

}  // namespace

ChunkCipher::ChunkCipher(std::string_view key)
    : aes_(key), ivKeystream_(Block16::fromBytes(kChunkIv.data(), kChunkIv.size())) {
  aes_.encryptBlock(ivKeystream_);
}

ChunkCipher::~ChunkCipher() { secureWipe(keystream_, sizeof keystream_); }

void ChunkCipher::decrypt(std::uint8_t* chunks, std::size_t count) noexcept {
  while (count > 0) {
    const std::size_t batch = std::min(count, kChunksPerCall);
    decryptBatch(chunks, batch);
    chunks += batch * kChunkSize;
    count -= batch;
  }
}

void ChunkCipher::decryptBatch(std::uint8_t* chunks, std::size_t count) noexcept {
  for (std::size_t k = 0; k < count; ++k) {
    std::memcpy(keystream_ + k * kFedBackSize, chunks + k * kChunkSize, kFedBackSize);
  }
  aes_.encryptBlocks(keystream_, count * (kFedBackSize / Block16::kSize));
  for (std::size_t k = 0; k < count; ++k) {
    std::uint8_t* const chunk = chunks + k * kChunkSize;
    xorInto(chunk, ivKeystream_.data(), Block16::kSize);
    xorInto(chunk + Block16::kSize, keystream_ + k * kFedBackSize, kFedBackSize);
  }
}

}  // namespace unseal
