// unseal <filename> <key>: decrypts an encrypted file with a 32-byte key.
//
// The run: the process made undumpable (no core file, no other process of
// the user reading its memory); the key copied out of the argument list, or
// read from standard input when it is "-" (app/key_text.h); banner; argument
// and key checks; output path derived from the input path; the input opened
// and the output file made (app/output_file.h); the 54-byte clear header
// copied and the output's size reserved; the body decrypted chunk by chunk
// (app/chunk_loop.h), on this thread and a writer thread; the output put in
// place by rename.
// Every refusal is one line on standard output after the banner and exit
// status 1; the input is never written, the output path is left as it was,
// and no file of the run is left. Signals: app/signals.h.
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <string_view>

#include "app/chunk_loop.h"
#include "app/descriptor_io.h"
#include "app/file_checks.h"
#include "app/file_format.h"
#include "app/key_text.h"
#include "app/output_file.h"
#include "app/output_path.h"
#include "app/signals.h"
#include "unseal/sha1.h"
#include "unseal/wipe.h"

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
  clearVectorRegisters();
  return equal;
}

// No core file, and no ptrace or /proc/<pid>/mem for other processes of the
// same user: the memory holds the key and the plaintext.
void keepMemoryPrivate() noexcept {
  ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  const rlimit noCore{0, 0};
  ::setrlimit(RLIMIT_CORE, &noCore);
}

// The console can fail (standard output a pipe nobody reads any more); a run
// that could not report its outcome is not one to commit.
bool consoleFailed() { return !std::cout || std::ferror(stdout) != 0; }

int run(int argc, char** argv) {
  // The key leaves the argument list first thing, before anything is printed.
  const bool keyFromInput = argc > 2 && std::strcmp(argv[2], "-") == 0;
  KeyText key;
  if (argc > 2 && !keyFromInput) key.takeArgument(argv[2]);  // further arguments are ignored
  std::puts(kBanner);
  if (argc <= 2) {
    std::puts(kUsage);
    return 1;
  }
  const char* inputPath = argv[1];
  if (keyFromInput && !key.readLine(STDIN_FILENO)) return refuse(kBadKeyLength);
  if (key.length() != kKeyLength) return refuse(kBadKeyLength);
  if (!keyMatchesReference(key.text())) return refuse(kIncorrectKey);

  const std::string outputPath = outputPathFor(inputPath);
  const Descriptor in(::open(inputPath, O_RDONLY | O_CLOEXEC));
  struct stat input {};
  if (!in.valid() || ::fstat(in.get(), &input) != 0 || S_ISDIR(input.st_mode)) return refuse(kOpenError);
  if (namesFile(outputPath.c_str(), input)) return refuse(kOutputIsInput);
  if (isDirectory(outputPath.c_str()) || isUnwritableFile(outputPath.c_str())) return refuse(kOpenError);
  OutputFile out(outputPath);
  if (!out.create()) return refuse(kOpenError);

  std::array<char, kHeaderSize> header{};  // a short input leaves zeros
  const ssize_t headerRead = readFull(in.get(), header.data(), header.size());
  if (headerRead < 0) return refuse(kReadError);
  // The output's whole size is reserved up front, from the input's size at
  // the start; commit cuts it to what was written should the input differ.
  const bool headerWritten = writeAll(out.fd(), header.data(), header.size()) &&
                             out.reserve(decryptedSize(static_cast<std::uint64_t>(input.st_size)));
  std::cout << kDecrypting << std::endl;  // even so: a failed write is reported after this line
  if (!headerWritten || consoleFailed()) return refuse(kWriteError);

  if (static_cast<std::size_t>(headerRead) == kHeaderSize) {  // a shorter input has no body
    switch (decryptChunks(in.get(), out.fd(), key.text())) {
      case ChunkLoopResult::ReadFailed: return refuse(kReadError);
      case ChunkLoopResult::WriteFailed: return refuse(kWriteError);
      case ChunkLoopResult::Done: break;
    }
  }
  if (!out.commit(input.st_mode)) return refuse(kWriteError);
  // The file is complete and in place: status 0 even if this line is lost.
  std::cout << kDecrypted << std::endl;
  return 0;
}

}  // namespace
}  // namespace unseal

int main(int argc, char** argv) {
  unseal::keepMemoryPrivate();
  if (!unseal::openStandardDescriptors()) return 1;  // no console to say so
  unseal::installSignalHandling();
  try {
    return unseal::run(argc, argv);
  } catch (...) {  // exhausted memory: one line, status 1, the output file was removed
    std::cout << unseal::kUnexpectedError << std::endl;
    return 1;
  }
}
