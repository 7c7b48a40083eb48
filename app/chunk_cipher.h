// The body's chunks decrypted in bulk, with one key installation per run.
//
// ChunkCipher(key) installs the 32-byte key once and computes E(IV), the
// first keystream block of every chunk, since every chunk starts its CFB
// feedback from the same chunk IV. decrypt(chunks, count) decrypts `count`
// whole 128-byte chunks in place: the other seven keystream inputs of a chunk
// are its ciphertext blocks 0 to 6, so those of many chunks are gathered and
// encrypted by one Aes256::encryptBlocks call, then XORed in. The bytes are
// exactly those of a fresh CipherEngine per chunk (app/chunk_reference.h).
// decrypt raises nothing and allocates nothing. The key, E(IV) and the
// gathered keystream are wiped when the object goes. A key shorter than 32
// bytes raises the library's invalid_argument. Use one object on one thread.
// The second constructor names the AES-256 implementation to run (tests run
// each one); the first uses the process's choice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "app/file_format.h"
#include "unseal/aes256.h"
#include "unseal/block.h"

namespace unseal {

class ChunkCipher {
 public:
  explicit ChunkCipher(std::string_view key);
  ChunkCipher(std::string_view key, const detail::Aes256Impl& impl);
  ChunkCipher(const ChunkCipher&) = delete;
  ChunkCipher& operator=(const ChunkCipher&) = delete;
  ~ChunkCipher();

  void decrypt(std::uint8_t* chunks, std::size_t count) noexcept;

 private:
  // Chunks per encryptBlocks call: enough to keep the AES pipeline full,
  // few enough that the gathered blocks stay in the first-level cache.
  static constexpr std::size_t kChunksPerCall = 64;
  // Blocks 0 to 6 of a chunk, the keystream inputs that follow E(IV).
  static constexpr std::size_t kFedBackSize = kChunkSize - Block16::kSize;

  void decryptBatch(std::uint8_t* chunks, std::size_t count) noexcept;

  Aes256 aes_;
  Block16 ivKeystream_;
  std::uint8_t keystream_[kChunksPerCall * kFedBackSize];
};

}  // namespace unseal
