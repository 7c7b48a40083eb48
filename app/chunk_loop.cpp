#include "app/chunk_loop.h"

#include <array>
#include <istream>
#include <ostream>
#include <string>

#include "app/file_format.h"
#include "cipher/cipher_engine.h"
#include "cipher/wipe.h"

namespace unseal {
namespace {

// A decrypted chunk, wiped however its scope is left.
struct PlainChunk {
  std::string bytes;
  ~PlainChunk() { secureWipe(bytes.data(), bytes.size()); }
};

}  // namespace

ChunkLoopResult decryptChunks(std::istream& in, std::ostream& out, std::string_view key) {
  while (!in.eof()) {
    CipherEngine engine(key, CFB, Zeros);
    engine.setIv(kChunkIv);
    std::array<char, kChunkSize> chunk{};
    in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    if (in.fail() && !in.eof()) return ChunkLoopResult::ReadFailed;
    const PlainChunk plain{engine.decryptText(std::string_view(chunk.data(), chunk.size()), true)};
    out.write(plain.bytes.data(), static_cast<std::streamsize>(plain.bytes.size()));
    if (!out) return ChunkLoopResult::WriteFailed;
  }
  return ChunkLoopResult::Done;
}

}  // namespace unseal
