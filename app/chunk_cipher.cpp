#include "app/chunk_cipher.h"

#include <algorithm>
#include <cstring>

#include "cipher/aes256_impl.h"
#include "unseal/wipe.h"

namespace unseal {
namespace {

// Eight bytes at a time: a loop over bytes costs a comparison per byte in
// builds that do not vectorise it (sanitizers, fuzzing).
template <std::size_t N>
void xorInto(std::uint8_t* target, const std::uint8_t* source) noexcept {
  static_assert(N % 8 == 0);
  for (std::size_t i = 0; i < N; i += 8) {
    std::uint64_t word = 0, key = 0;
    std::memcpy(&word, target + i, 8);
    std::memcpy(&key, source + i, 8);
    word ^= key;
    std::memcpy(target + i, &word, 8);
  }
}

Block16 chunkIv() noexcept { return Block16::fromBytes(kChunkIv.data(), kChunkIv.size()); }

}  // namespace

ChunkCipher::ChunkCipher(std::string_view key) : aes_(key), ivKeystream_(chunkIv()) {
  aes_.encryptBlock(ivKeystream_);
}

ChunkCipher::ChunkCipher(std::string_view key, const detail::Aes256Impl& impl)
    : aes_(key), ivKeystream_(chunkIv()) {
  detail::Aes256Internals::bind(aes_, impl);
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
    xorInto<Block16::kSize>(chunk, ivKeystream_.data());
    xorInto<kFedBackSize>(chunk + Block16::kSize, keystream_ + k * kFedBackSize);
  }
}

}  // namespace unseal
