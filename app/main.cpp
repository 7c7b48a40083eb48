// unseal [OPTION]... <filename> <key>: decrypts an encrypted file with a
// 32-byte key.
//
// The run: the process made undumpable (no core file, no other process of
// the user reading its memory); the options read (app/command_line.h); the
// key copied out of the argument list, or read from standard input when it
// is "-" (app/key_text.h); banner; argument and key checks; output path
// derived from the input path, or given; the input opened and the output
// file made (app/output_file.h); the 54-byte clear header copied and the
// output's size reserved; the body decrypted chunk by chunk
// (app/chunk_loop.h), on this thread and a writer thread; the output put in
// place by rename. With "-o -" the plaintext goes to standard output as it
// is decrypted, and the console lines to standard error.
// Every refusal is one line on the console after the banner, one line
// "unseal: PATH: REASON" on standard error, and exit status 1; the input is
// never written, the output path is left as it was, and no file of the run
// is left. A run that succeeds writes nothing on standard error but a
// warning naming the arguments it ignores. Signals: app/signals.h.
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <new>
#include <span>
#include <string>
#include <string_view>

#include "app/chunk_loop.h"
#include "app/command_line.h"
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
constexpr const char* kSameFile = "the output would overwrite the input";

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

// Where the command's lines go: standard output, or standard error when the
// plaintext goes to standard output.
std::ostream* console = &std::cout;
const char* consoleName = "standard output";
// What a refusal names when the run ends by an exception.
const char* subject = nullptr;

// One line on standard error: "unseal: PATH: REASON", or "unseal: REASON";
// the console's lines before it are written first.
void explain(const char* path, const char* reason) {
  console->flush();
  if (path != nullptr) {
    std::fprintf(stderr, "unseal: %s: %s\n", path, reason);
  } else {
    std::fprintf(stderr, "unseal: %s\n", reason);
  }
}

int refuse(const char* message, const char* path, const char* reason) {
  *console << message << std::endl;
  explain(path, reason);
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
bool consoleFailed() { return !*console || std::ferror(console == &std::cout ? stdout : stderr) != 0; }

// --help and --version: the banner, and for --help the usage with every
// option, on standard output; status 0 once all of it is written.
int inform(bool help) {
  std::puts(kBanner);
  if (help) printHelp(stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}

void warnIgnored(std::span<char* const> ignored) {
  console->flush();
  std::fputs("unseal: warning: ignoring what follows the key (options go before <filename>):", stderr);
  for (const char* arg : ignored) std::fprintf(stderr, " '%s'", arg);
  std::fputc('\n', stderr);
}

// The input: its path, its open descriptor, its fstat.
struct Input {
  const char* path;
  int fd;
  struct stat info;
};

// Decrypts the input from where it stands (after the header) to `out`;
// false, the refusal written, when it fails.
bool decryptBody(const Input& input, int out, const char* outputName, std::string_view key) {
  switch (decryptChunks(input.fd, out, key)) {
    case ChunkLoopResult::ReadFailed: return refuse(kReadError, input.path, std::strerror(errno)) == 0;
    case ChunkLoopResult::WriteFailed: return refuse(kWriteError, outputName, std::strerror(errno)) == 0;
    case ChunkLoopResult::Done: return true;
  }
  return false;
}

// The header, the body and the end of a run, the plaintext written to `out`
// (named `outputName`): the output file, reserved up front and put in place
// at the end, or, when `file` is null, standard output, where what is
// written cannot be taken back should the run fail later.
int decryptTo(int out, const char* outputName, OutputFile* file, const Input& input, std::string_view key) {
  std::array<char, kHeaderSize> header{};  // a short input leaves zeros
  const ssize_t headerRead = readFull(input.fd, header.data(), header.size());
  if (headerRead < 0) return refuse(kReadError, input.path, std::strerror(errno));
  // The output's whole size is reserved from the input's size at the start;
  // commit cuts it to what was written should the input differ.
  const char* writeError = nullptr;
  if (!writeAll(out, header.data(), header.size())) {
    writeError = std::strerror(errno);
  } else if (file != nullptr &&
             !file->reserve(decryptedSize(static_cast<std::uint64_t>(input.info.st_size)))) {
    writeError = file->reason();
  }
  *console << kDecrypting << std::endl;  // even so: a failed write is reported after this line
  if (writeError != nullptr) return refuse(kWriteError, outputName, writeError);
  if (consoleFailed()) return refuse(kWriteError, consoleName, "the messages could not be written");

  const bool hasBody = static_cast<std::size_t>(headerRead) == kHeaderSize;  // a shorter input has none
  if (hasBody && !decryptBody(input, out, outputName, key)) return 1;
  if (file != nullptr && !file->commit(input.info.st_mode))
    return refuse(kWriteError, outputName, file->reason());
  if (file == nullptr && !closeCopy(out)) return refuse(kWriteError, outputName, std::strerror(errno));
  // The output is complete and in place: status 0 even if this line is lost.
  *console << kDecrypted << std::endl;
  return 0;
}

int decryptToFile(const Input& input, std::string_view key, const std::string& outputPath,
                  ExistingOutput existing) {
  const char* const output = outputPath.c_str();
  if (namesFile(output, input.info)) return refuse(kOutputIsInput, output, kSameFile);
  if (isDirectory(output)) return refuse(kOpenError, output, std::strerror(EISDIR));
  if (isUnwritableFile(output)) return refuse(kOpenError, output, std::strerror(errno));
  OutputFile file(outputPath, existing);
  if (!file.create()) return refuse(kOpenError, output, file.reason());
  return decryptTo(file.fd(), output, &file, input, key);
}

int decryptToStandardOutput(const Input& input, std::string_view key) {
  const char* const output = "standard output";
  struct stat info {};
  if (::fstat(STDOUT_FILENO, &info) == 0 && S_ISREG(info.st_mode) && info.st_dev == input.info.st_dev &&
      info.st_ino == input.info.st_ino) {
    return refuse(kOutputIsInput, output, kSameFile);
  }
  return decryptTo(STDOUT_FILENO, output, nullptr, input, key);
}

int run(int argc, char** argv) {
  const CommandLine line = readCommandLine(argc, argv);
  // The key leaves the argument list first thing, before anything is printed.
  const bool keyFromInput = line.key != nullptr && std::strcmp(line.key, "-") == 0;
  KeyText key;
  if (line.key != nullptr && !keyFromInput) key.takeArgument(line.key);
  if (line.valid && (line.help || line.version)) return inform(line.help);
  if (line.toStandardOutput()) {
    console = &std::cerr;
    consoleName = "standard error";
  }
  *console << kBanner << '\n';
  if (!line.valid || line.key == nullptr) {
    *console << kUsage << std::endl;
    if (!line.valid) {
      reportOptionErrors(argc, argv);
    } else {
      explain(line.input, line.input == nullptr ? "no file and no key given" : "no key given");
    }
    return 1;
  }
  if (!line.ignored.empty()) warnIgnored(line.ignored);
  const char* inputPath = subject = line.input;
  if (keyFromInput && !key.readLine(STDIN_FILENO)) {
    return refuse(kBadKeyLength, "standard input", std::strerror(errno));
  }
  if (key.length() != kKeyLength) {
    char reason[64];
    std::snprintf(reason, sizeof reason, "the key is %zu byte%s long, not %zu", key.length(),
                  key.length() == 1 ? "" : "s", kKeyLength);
    return refuse(kBadKeyLength, inputPath, reason);
  }
  if (!keyMatchesReference(key.text())) {
    return refuse(kIncorrectKey, inputPath, "not the key this command accepts");
  }

  const Descriptor in(::open(inputPath, O_RDONLY | O_CLOEXEC));
  Input input{inputPath, in.get(), {}};
  if (!in.valid() || ::fstat(in.get(), &input.info) != 0) {
    return refuse(kOpenError, inputPath, std::strerror(errno));
  }
  if (S_ISDIR(input.info.st_mode)) return refuse(kOpenError, inputPath, std::strerror(EISDIR));
  if (line.toStandardOutput()) return decryptToStandardOutput(input, key.text());
  // A device or a FIFO given with -o would be replaced, not written: -o - and
  // the shell's redirection write there.
  if (line.output != nullptr && isSpecialFile(line.output)) {
    return refuse(kOpenError, line.output, "not a regular file");
  }
  const std::string outputPath = line.output != nullptr ? line.output : outputPathFor(inputPath);
  return decryptToFile(input, key.text(), outputPath,
                       line.noClobber ? ExistingOutput::Refuse : ExistingOutput::Replace);
}

}  // namespace
}  // namespace unseal

int main(int argc, char** argv) {
  unseal::keepMemoryPrivate();
  if (!unseal::openStandardDescriptors()) return 1;  // no console to say so
  unseal::installSignalHandling();
  try {
    return unseal::run(argc, argv);
  } catch (const std::bad_alloc&) {  // one line, status 1, the output file was removed
    return unseal::refuse(unseal::kUnexpectedError, unseal::subject, std::strerror(ENOMEM));
  } catch (...) {
    return unseal::refuse(unseal::kUnexpectedError, unseal::subject, "an unexpected exception");
  }
}
