#include "app/chunk_loop.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "app/descriptor_io.h"
#include "app/file_format.h"
#include "cipher/cipher_engine.h"
#include "cipher/wipe.h"

namespace unseal {
namespace {

// The body is read and written 256 KiB at a time rather than a chunk at a
// time: two system calls per 128 bytes would cost more than the decryption.
// Static, so memory stays bounded and pages are touched only as the file's
// size needs them; page alignment lets the kernel copy whole pages.
constexpr std::size_t kBufferSize = 256 * 1024;
static_assert(kBufferSize % kChunkSize == 0);
alignas(4096) char cipherBuffer[kBufferSize];
alignas(4096) char plainBuffer[kBufferSize];

// The plaintext buffer, wiped up to the most it held however the loop is left.
struct PlainBufferWipe {
  std::size_t used = 0;
  ~PlainBufferWipe() { secureWipe(plainBuffer, used); }
};

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

ChunkLoopResult decryptChunks(int in, int out, std::string_view key) {
  PlainBufferWipe wipe;
  for (;;) {
    const ssize_t got = readFull(in, cipherBuffer, kBufferSize);
    if (got < 0) return ChunkLoopResult::ReadFailed;
    const auto read = static_cast<std::size_t>(got);
    // A buffer that is not filled holds the end of the body: its last chunk
    // is zero-filled, and a body ending on a chunk boundary gets one chunk
    // of zeros more.
    const bool atEnd = read < kBufferSize;
    const std::size_t length = atEnd ? (read / kChunkSize + 1) * kChunkSize : read;
    std::memset(cipherBuffer + read, 0, length - read);
    wipe.used = std::max(wipe.used, length);
    for (std::size_t at = 0; at < length; at += kChunkSize) {
      decryptChunk(key, cipherBuffer + at, plainBuffer + at);
    }
    if (!writeAll(out, plainBuffer, length)) return ChunkLoopResult::WriteFailed;
    if (atEnd) return ChunkLoopResult::Done;
  }
}

}  // namespace unseal
