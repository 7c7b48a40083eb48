// unseal <filename> <key>: decrypts an encrypted file with a 32-byte key.
//
// The run: banner; argument and key checks; output path derived from the
// input path; both files opened; the 54-byte clear header copied; the body
// decrypted chunk by chunk (app/chunk_loop.h); the output closed and checked.
// Every refusal is one line on standard output after the banner and exit
// status 1; the input is never written, and an output that could not be
// finished is removed.
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>
#include <utility>

#include "app/chunk_loop.h"
#include "app/file_checks.h"
#include "app/file_format.h"
#include "app/output_path.h"
#include "cipher/wipe.h"
#include "digest/sha1.h"

#ifndef UNSEAL_REFERENCE_DIGEST
#error "UNSEAL_REFERENCE_DIGEST, the accepted key's SHA-1 in 40 hex digits, is set by the build"
#endif

namespace unseal {
namespace {

constexpr const char* kBanner = "Quorvane utility, v. 0.539";
constexpr const char* kUsage = "Usage: ./unseal <filename> <key>";
constexpr const char* kBadKeyLength = "Key length must be equal to 32 bytes";
constexpr const char* kIncorrectKey = "Incorrect key!";
constexpr const char* kOpenError = "Error opening file:";
constexpr const char* kOutputIsInput = "Output file would overwrite the input file!";
constexpr const char* kReadError = "Error reading file!";
constexpr const char* kWriteError = "Error writing file!";
constexpr const char* kUnexpectedError = "Unexpected error, file not decrypted!";
constexpr const char* kDecrypting = "Decrypting file, please wait...";
constexpr const char* kDecrypted = "File decrypted successfuly!";

constexpr std::size_t kKeyLength = 32;

// SHA-1 of the one key the command accepts.
constexpr std::string_view kReferenceDigestHex = UNSEAL_REFERENCE_DIGEST;

constexpr bool isHexDigit(char c) {
  return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f');
}
constexpr bool isHexDigest(std::string_view hex) {
  if (hex.size() != 2 * Sha1::DigestSize) return false;
  for (const char c : hex) {
    if (!isHexDigit(c)) return false;
  }
  return true;
}
static_assert(isHexDigest(kReferenceDigestHex), "UNSEAL_REFERENCE_DIGEST must be 40 hex digits");

constexpr int hexValue(char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; }

int refuse(const char* message) {
  std::cout << message << std::endl;
  return 1;
}

// The key's SHA-1 compared with the reference digest, both wiped after.
bool keyMatchesReference(std::string_view key) {
  std::uint8_t digest[Sha1::DigestSize];
  Sha1 sha;
  sha.init();
  sha.update(key.data(), static_cast<std::uint32_t>(key.size()));
  sha.finish(digest);
  std::uint8_t reference[Sha1::DigestSize];
  for (std::size_t i = 0; i < Sha1::DigestSize; ++i) {
    reference[i] = static_cast<std::uint8_t>(hexValue(kReferenceDigestHex[2 * i]) * 16 +
                                             hexValue(kReferenceDigestHex[2 * i + 1]));
  }
  const bool equal = std::memcmp(digest, reference, Sha1::DigestSize) == 0;
  secureWipe(digest, sizeof digest);
  secureWipe(reference, sizeof reference);
  return equal;
}

// Stream buffers. The body is read and written 128 bytes at a time; with
// buffers this size those calls reach the kernel in 256 KiB pieces instead of
// libstdc++'s default 8 KiB. They are static, so memory stays bounded and
// pages are touched only as the file's size needs them (at most 512 KiB more
// for a large file than for a small one). Page alignment lets the kernel copy
// whole pages. The output buffer holds plaintext and is wiped after use.
constexpr std::size_t kIoBufferSize = 256 * 1024;
alignas(4096) char inputBuffer[kIoBufferSize];
alignas(4096) char outputBuffer[kIoBufferSize];

// True when the last read failed for a reason other than reaching the end.
bool readFailed(const std::istream& in) { return in.fail() && !in.eof(); }

// The output file, removed again when the run leaves without committing it:
// after a refusal, a failed read or write, or an exception.
class OutputFile {
 public:
  explicit OutputFile(std::string path) : path_(std::move(path)) {}
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile() {
    if (opened_ && !committed_) {
      stream_.close();
      ::unlink(path_.c_str());  // a file, never a directory
    }
    secureWipe(outputBuffer, sizeof outputBuffer);
  }

  // Creates the file, or truncates an existing one.
  bool open() {
    opened_ = true;  // opening can create the file and still throw (no memory for its buffer)
    stream_.rdbuf()->pubsetbuf(outputBuffer, sizeof outputBuffer);  // before open, or it is ignored
    stream_.open(path_, std::ios::out);
    opened_ = stream_.is_open();
    return opened_;
  }
  std::ostream& stream() { return stream_; }

  // Flushes and closes; true when every byte reached the file.
  bool commit() {
    stream_.flush();
    if (!stream_) return false;
    stream_.close();
    if (stream_.fail()) return false;
    committed_ = true;
    return true;
  }

 private:
  std::string path_;
  std::ofstream stream_;
  bool opened_ = false;
  bool committed_ = false;
};

int run(int argc, char** argv) {
  std::puts(kBanner);
  if (argc <= 2) {
    std::puts(kUsage);
    return 1;
  }
  const char* inputPath = argv[1];
  const std::string_view key = argv[2];  // further arguments are ignored
  if (key.size() != kKeyLength) return refuse(kBadKeyLength);
  if (!keyMatchesReference(key)) return refuse(kIncorrectKey);

  const std::string outputPath = outputPathFor(inputPath);
  std::ifstream in;
  in.rdbuf()->pubsetbuf(inputBuffer, sizeof inputBuffer);  // before open, or it is ignored
  in.open(inputPath, std::ios::in);
  if (!in.is_open() || isDirectory(inputPath)) return refuse(kOpenError);
  if (sameFile(inputPath, outputPath.c_str())) return refuse(kOutputIsInput);
  OutputFile out(outputPath);
  if (!out.open()) return refuse(kOpenError);

  std::array<char, kHeaderSize> header{};  // a short input leaves zeros
  in.read(header.data(), static_cast<std::streamsize>(header.size()));
  if (readFailed(in)) return refuse(kReadError);
  out.stream().write(header.data(), static_cast<std::streamsize>(header.size()));
  std::cout << kDecrypting << std::endl;

  switch (decryptChunks(in, out.stream(), key)) {
    case ChunkLoopResult::ReadFailed: return refuse(kReadError);
    case ChunkLoopResult::WriteFailed: return refuse(kWriteError);
    case ChunkLoopResult::Done: break;
  }
  in.close();
  if (!out.commit()) return refuse(kWriteError);
  std::cout << kDecrypted << std::endl;
  return 0;
}

}  // namespace
}  // namespace unseal

int main(int argc, char** argv) {
  try {
    return unseal::run(argc, argv);
  } catch (...) {  // exhausted memory: one line, status 1, no output left
    std::cout << unseal::kUnexpectedError << std::endl;
    return 1;
  }
}
