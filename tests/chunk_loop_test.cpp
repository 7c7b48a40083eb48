// The command's chunk loop on in-memory files, on each AES implementation:
// its bulk decryption gives byte for byte what the literal loop of a fresh
// CipherEngine per chunk gives, at every chunk and buffer boundary, and it
// stops at a failed read or write.
#include "app/chunk_loop.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "app/chunk_cipher.h"
#include "app/chunk_reference.h"
#include "app/descriptor_io.h"
#include "app/file_format.h"
#include "support/aes_impls.h"
#include "support/vectors.h"

namespace unseal {
namespace {

const std::string kKey = "unseal-demo-key-0123456789abcdef";
constexpr std::size_t kBuffer = kChunkLoopBufferSize;

// A file in memory holding `bytes`, positioned at its start.
int memoryFile(const std::string& bytes) {
  const int fd = ::memfd_create("chunk-loop", MFD_CLOEXEC);
  EXPECT_TRUE(fd >= 0 && writeAll(fd, bytes.data(), bytes.size()) && ::lseek(fd, 0, SEEK_SET) == 0);
  return fd;
}

std::string contents(int fd) {
  std::string bytes(static_cast<std::size_t>(::lseek(fd, 0, SEEK_END)), '\0');
  EXPECT_EQ(::pread(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  return bytes;
}

// The literal loop's output for a body: every chunk, the last one
// zero-filled, and one chunk of zeros more after a body that ends on a chunk
// boundary.
std::string referenceOutput(std::string body) {
  body.resize((body.size() / kChunkSize + 1) * kChunkSize, '\0');
  std::string plain(body.size(), '\0');
  decryptChunksReference(kKey, body.data(), plain.data(), body.size() / kChunkSize);
  return plain;
}

// Body sizes at the edges of the first chunks, and one, two and three
// buffers give or take a chunk and a byte.
std::vector<std::size_t> boundarySizes() {
  std::vector<std::size_t> sizes{0, 1, 127, 128, 129, 255, 256, 257};
  for (const std::size_t buffers : {1u, 2u, 3u}) {
    for (const std::size_t chunks : {kBuffer - kChunkSize, kBuffer, kBuffer + kChunkSize}) {
      if (buffers == 3 && chunks != kBuffer) continue;  // the third buffer: its byte edges are enough
      for (const std::size_t bytes : {chunks - 1, chunks, chunks + 1})
        sizes.push_back((buffers - 1) * kBuffer + bytes);
    }
  }
  return sizes;
}

TEST(ChunkLoop, EqualsTheLiteralLoopAtEveryBoundary) {
  for (const std::size_t size : boundarySizes()) {
    SCOPED_TRACE("body of " + std::to_string(size) + " bytes");
    const std::string body = test::randomBytes(size, static_cast<unsigned>(size));
    const Descriptor in(memoryFile(body)), out(memoryFile(""));
    ASSERT_EQ(decryptChunks(in.get(), out.get(), kKey), ChunkLoopResult::Done);
    const std::string output = contents(out.get()), expected = referenceOutput(body);
    ASSERT_EQ(output.size(), expected.size());
    const auto differ = std::mismatch(output.begin(), output.end(), expected.begin()).first - output.begin();
    EXPECT_EQ(static_cast<std::size_t>(differ), output.size())
        << "first difference in chunk " << differ / 128;
  }
}

// The bulk decryption on each AES implementation, at the edges of its
// batches of encryptBlocks calls (64 chunks), against the literal loop.
class ChunkCipherOnEachImpl : public test::OnEachImpl {};
INSTANTIATE_ON_EACH_IMPL(ChunkCipherOnEachImpl);

TEST_P(ChunkCipherOnEachImpl, EqualsTheLiteralLoop) {
  for (const std::size_t chunks : {1u, 2u, 7u, 63u, 64u, 65u, 128u, 130u}) {
    SCOPED_TRACE(std::to_string(chunks) + " chunks");
    std::string text = test::randomBytes(chunks * kChunkSize, static_cast<unsigned>(chunks));
    std::string expected(text.size(), '\0');
    decryptChunksReference(kKey, text.data(), expected.data(), chunks);
    ChunkCipher(kKey, impl()).decrypt(reinterpret_cast<std::uint8_t*>(text.data()), chunks);
    EXPECT_EQ(text, expected);
  }
}

// A read error inside the body ends the loop with ReadFailed instead of
// going on for ever. The input is this process's own memory through
// /proc/self/mem: 300 bytes of body just before a page that is not mapped,
// where reading fails with EIO.
TEST(ChunkLoop, StopsAtAReadErrorInsideTheBody) {
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  void* mapped = ::mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mapped, MAP_FAILED);
  char* const end = static_cast<char*>(mapped) + page;
  ASSERT_EQ(::munmap(end, page), 0);
  const Descriptor in(::open("/proc/self/mem", O_RDONLY)), out(::memfd_create("chunk-loop-output", 0));
  ASSERT_TRUE(in.valid() && out.valid());
  const auto bodyAt = static_cast<off_t>(reinterpret_cast<std::uintptr_t>(end - 300));
  ASSERT_EQ(::lseek(in.get(), bodyAt, SEEK_SET), bodyAt);
  EXPECT_EQ(decryptChunks(in.get(), out.get(), kKey), ChunkLoopResult::ReadFailed);
  ::munmap(mapped, page);
}

// A failed write (a full device) ends the loop with WriteFailed, and the
// reading stops there too: no more than the buffer being written and the one
// read meanwhile are taken from a body of eight buffers.
TEST(ChunkLoop, StopsReadingAtTheFirstFailedWrite) {
  const Descriptor in(memoryFile(std::string(8 * kBuffer, 'x'))), out(::open("/dev/full", O_WRONLY));
  ASSERT_TRUE(out.valid());
  EXPECT_EQ(decryptChunks(in.get(), out.get(), kKey), ChunkLoopResult::WriteFailed);
  EXPECT_LE(::lseek(in.get(), 0, SEEK_CUR), static_cast<off_t>(2 * kBuffer));
}

}  // namespace
}  // namespace unseal
