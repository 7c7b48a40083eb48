#include "app/chunk_loop.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "app/buffer_writer.h"
#include "app/chunk_cipher.h"
#include "app/descriptor_io.h"
#include "app/file_format.h"
#include "cipher/aes256_impl.h"
#include "unseal/wipe.h"

namespace unseal {
namespace {

// The body is read and written 1 MiB at a time: fewer system calls, and
// whole pages for the kernel to copy. Two buffers, so one is written while
// the other is read and decrypted in place. Static, so memory stays bounded
// and pages are touched only as the file's size needs them.
constexpr std::size_t kBufferSize = kChunkLoopBufferSize;
static_assert(kBufferSize % kChunkSize == 0);
alignas(4096) std::uint8_t buffers[2][kBufferSize];

// The plaintext in both buffers, wiped up to the most each held however the
// loop is left. Declared first, so it runs once the writer is done and the
// cipher has wiped itself; the XOR of keystream into the chunks leaves both
// in the vector registers, cleared last.
struct BufferWipe {
  std::size_t used[2] = {0, 0};
  ~BufferWipe() {
    for (std::size_t b = 0; b < 2; ++b) secureWipe(buffers[b], used[b]);
    clearVectorRegisters();
  }
};

}  // namespace

ChunkLoopResult decryptChunks(int in, int out, std::string_view key) {
  return decryptChunks(in, out, key, detail::chosenAes256Impl());
}

ChunkLoopResult decryptChunks(int in, int out, std::string_view key, const detail::Aes256Impl& impl) {
  BufferWipe wipe;
  ChunkCipher cipher(key, impl);
  BufferWriter writer(out);
  for (std::size_t b = 0;; b ^= 1) {
    char* const buffer = reinterpret_cast<char*>(buffers[b]);
    const ssize_t got = readFull(in, buffer, kBufferSize);
    // A write that failed before this read is the failure reported, as on one thread.
    if (got < 0) {
      const int readError = errno;
      if (!writer.finish()) return ChunkLoopResult::WriteFailed;
      errno = readError;
      return ChunkLoopResult::ReadFailed;
    }
    const auto read = static_cast<std::size_t>(got);
    // A buffer that is not filled holds the end of the body: its last chunk
    // is zero-filled, and a body ending on a chunk boundary gets one chunk
    // of zeros more.
    const bool atEnd = read < kBufferSize;
    const std::size_t length = atEnd ? (read / kChunkSize + 1) * kChunkSize : read;
    std::memset(buffer + read, 0, length - read);
    wipe.used[b] = std::max(wipe.used[b], length);
    cipher.decrypt(buffers[b], length / kChunkSize);
    if (!writer.write(buffer, length)) return ChunkLoopResult::WriteFailed;
    if (atEnd) return writer.finish() ? ChunkLoopResult::Done : ChunkLoopResult::WriteFailed;
  }
}

}  // namespace unseal
