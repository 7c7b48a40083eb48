// The command's file handling on arbitrary file contents: the header copy and
// the chunk loop, over in-memory files, give the length and header the file
// format defines, and the body byte for byte as the literal loop of a fresh
// CipherEngine per chunk (app/chunk_reference.h) gives it; on files that are
// not stretched (below), each 128-byte chunk also equals OpenSSL's
// AES-256-CFB decryption of that chunk (zero-filled) from the chunk IV. The
// bulk decryption gives the same body on every AES implementation.
//
// An input starting with kStretch and a count byte n stands for a longer
// file: the rest of the input with (n % 2 + 1) buffers of the chunk loop less
// two chunks of filler inserted after the header, so that short inputs reach
// every edge of the loop's buffers.
#include <openssl/evp.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <string>

#include "app/chunk_cipher.h"
#include "app/chunk_loop.h"
#include "app/chunk_reference.h"
#include "app/descriptor_io.h"
#include "app/file_format.h"
#include "fuzz_support.h"

namespace {

const std::string kKey = "unseal-demo-key-0123456789abcdef";
constexpr std::uint8_t kStretch = 0xFF;

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

// The file an input stands for (see the top of this file).
std::string fileOf(const std::uint8_t* data, std::size_t size) {
  std::string file(reinterpret_cast<const char*>(data), size);
  if (size < 2 || data[0] != kStretch) return file;
  const std::size_t filler = (data[1] % 2 + 1) * unseal::kChunkLoopBufferSize - 2 * unseal::kChunkSize;
  file.erase(0, 2);
  file.insert(std::min(file.size(), unseal::kHeaderSize), filler, static_cast<char>(data[size - 1]));
  return file;
}

// The literal loop's decryption of a body of whole chunks, run once per run
// of equal chunks (the filler's), so that a stretched file stays quick.
std::string referenceDecryption(const std::string& body) {
  using unseal::kChunkSize;
  std::string plain(body.size(), '\0');
  for (std::size_t at = 0; at < body.size(); at += kChunkSize) {
    if (at > 0 && body.compare(at, kChunkSize, body, at - kChunkSize, kChunkSize) == 0) {
      plain.replace(at, kChunkSize, plain, at - kChunkSize, kChunkSize);
    } else {
      unseal::decryptChunksReference(kKey, body.data() + at, plain.data() + at, 1);
    }
  }
  return plain;
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
  const std::string file = fileOf(data, size);
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
  fuzz::require(written.size() == decryptedSize(file.size()));
  const std::size_t headerBytes = std::min(file.size(), kHeaderSize);
  fuzz::require(written.compare(0, headerBytes, file, 0, headerBytes) == 0);
  std::string body = file.substr(headerBytes);
  body.resize(written.size() - kHeaderSize, '\0');
  const std::string expected = referenceDecryption(body);
  fuzz::require(written.compare(kHeaderSize, std::string::npos, expected) == 0);
  // The loop ran on the process's AES implementation; the others give the
  // same. The first 130 chunks cover the bulk path's batch edges (64 chunks);
  // a stretched body's filler beyond them would only slow the portable code.
  const std::size_t compared = std::min(body.size(), 130 * kChunkSize);
  for (const detail::Aes256Impl* impl : fuzz::otherImpls()) {
    std::string other = body.substr(0, compared);
    ChunkCipher(kKey, *impl).decrypt(reinterpret_cast<std::uint8_t*>(other.data()), compared / kChunkSize);
    fuzz::require(expected.compare(0, compared, other) == 0);
  }
  if (file.size() == size) {
    for (std::size_t at = 0; at < body.size(); at += kChunkSize) {
      fuzz::require(expected.compare(at, kChunkSize, opensslCfbDecrypt(body.substr(at, kChunkSize))) == 0);
    }
  }
  return 0;
}
