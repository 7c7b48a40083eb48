// The command's file handling on arbitrary file contents: the header copy and
// the chunk loop, over in-memory files, give the length and header the file
// format defines, and each 128-byte chunk equals OpenSSL's AES-256-CFB
// decryption of that chunk (zero-filled) from the chunk IV.
#include <openssl/evp.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <string>

#include "app/chunk_loop.h"
#include "app/descriptor_io.h"
#include "app/file_format.h"
#include "fuzz_support.h"

namespace {

const std::string kKey = "unseal-demo-key-0123456789abcdef";

std::string opensslCfbDecrypt(const std::string& chunk) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  std::string out(chunk.size(), '\0');
  int n = 0;
  EVP_DecryptInit_ex(ctx, EVP_aes_256_cfb128(), nullptr, reinterpret_cast<const unsigned char*>(kKey.data()),
                     reinterpret_cast<const unsigned char*>(unseal::kChunkIv.data()));
  EVP_DecryptUpdate(ctx, reinterpret_cast<unsigned char*>(out.data()), &n,
                    reinterpret_cast<const unsigned char*>(chunk.data()), static_cast<int>(chunk.size()));
  EVP_CIPHER_CTX_free(ctx);
  return out;
}

// A file in memory holding `bytes`, positioned at its start.
int memoryFile(const std::string& bytes) {
  const int fd = ::memfd_create("fuzz_chunk_loop", MFD_CLOEXEC);
  unseal::fuzz::require(fd >= 0 && unseal::writeAll(fd, bytes.data(), bytes.size()) &&
                        ::lseek(fd, 0, SEEK_SET) == 0);
  return fd;
}

std::string contents(int fd) {
  std::string bytes(static_cast<std::size_t>(::lseek(fd, 0, SEEK_END)), '\0');
  unseal::fuzz::require(::pread(fd, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size()));
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace unseal;
  const std::string file(reinterpret_cast<const char*>(data), size);
  const Descriptor in(memoryFile(file)), out(memoryFile(""));

  // The header, as the command copies it: up to 54 bytes, zero-filled; the
  // body follows only a whole header.
  std::array<char, kHeaderSize> header{};
  const ssize_t headerRead = readFull(in.get(), header.data(), header.size());
  fuzz::require(writeAll(out.get(), header.data(), header.size()));
  if (headerRead == static_cast<ssize_t>(kHeaderSize)) {
    fuzz::require(decryptChunks(in.get(), out.get(), kKey) == ChunkLoopResult::Done);
  }

  const std::string written = contents(out.get());
  const std::size_t body = size >= kHeaderSize ? size - kHeaderSize : 0;
  const std::size_t chunks = size >= kHeaderSize ? body / kChunkSize + 1 : 0;
  fuzz::require(written.size() == kHeaderSize + kChunkSize * chunks);
  fuzz::require(written.compare(0, std::min(size, kHeaderSize), file, 0, std::min(size, kHeaderSize)) == 0);
  for (std::size_t k = 0; k < chunks; ++k) {
    std::string chunk = file.substr(std::min(size, kHeaderSize + k * kChunkSize), kChunkSize);
    chunk.resize(kChunkSize, '\0');
    fuzz::require(written.compare(kHeaderSize + k * kChunkSize, kChunkSize, opensslCfbDecrypt(chunk)) == 0);
  }
  return 0;
}
