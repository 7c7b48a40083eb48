#include "app/chunk_reference.h"

#include <cstring>
#include <string>

#include "app/file_format.h"
#include "unseal/cipher_engine.h"
#include "unseal/wipe.h"

namespace unseal {
namespace {

// A decrypted chunk, wiped however its scope is left.
struct PlainChunk {
  std::string bytes;
  ~PlainChunk() { secureWipe(bytes.data(), bytes.size()); }
};

void decryptChunk(std::string_view key, const char* cipher, char* plain) {
  CipherEngine engine(key, CFB, Zeros);
  engine.setIv(kChunkIv);
  const PlainChunk chunk{engine.decryptText(std::string_view(cipher, kChunkSize), true)};
  std::memcpy(plain, chunk.bytes.data(), kChunkSize);
}

}  // namespace

void decryptChunksReference(std::string_view key, const char* cipher, char* plain, std::size_t count) {
  for (std::size_t k = 0; k < count; ++k) decryptChunk(key, cipher + k * kChunkSize, plain + k * kChunkSize);
}

}  // namespace unseal
