#include "app/output_file.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <string_view>
#include <utility>

#include "app/descriptor_io.h"
#include "app/file_checks.h"
#include "app/signals.h"

namespace unseal {
namespace {

constexpr const char* kOutputExists = "the output exists";
constexpr std::string_view kUniqueSuffix = ".XXXXXX";
// Room for the leading '.' and the suffix within a 255-byte name.
constexpr std::size_t kLongestNameKept = NAME_MAX - 1 - kUniqueSuffix.size();

// ".<name>.XXXXXX" in the folder of `path`: a rename within one folder stays
// on one file system, and the leading dot keeps it out of ordinary listings.
std::string temporaryTemplateFor(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  const std::size_t nameAt = slash == std::string_view::npos ? 0 : slash + 1;
  std::string result(path.substr(0, nameAt));
  result += '.';
  result += path.substr(nameAt, kLongestNameKept);
  result += kUniqueSuffix;
  return result;
}

// A fresh suffix for a name made by temporaryTemplateFor: six letters or
// digits from the kernel's random source (the clock where it has none).
void renewSuffix(std::string& name) noexcept {
  static constexpr std::string_view kLetters =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char bytes[6] = {};
  if (::getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    auto mix = static_cast<unsigned long>(now.tv_nsec) ^ static_cast<unsigned long>(::getpid()) << 20;
    for (unsigned char& b : bytes) b = static_cast<unsigned char>(mix >>= 5);
  }
  for (std::size_t i = 0; i < sizeof bytes; ++i) {
    name[name.size() - sizeof bytes + i] = kLetters[bytes[i] % kLetters.size()];
  }
}

// The process's umask, which can only be read by setting it. No other thread
// runs at create, so no file is created while it is briefly 0.
mode_t currentUmask() noexcept {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

// The name through which this process links a descriptor's file anew.
std::string descriptorPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

}  // namespace

OutputFile::OutputFile(std::string path, ExistingOutput existing)
    : path_(std::move(path)), existing_(existing) {
  const std::size_t slash = path_.rfind('/');
  if (slash != std::string::npos) folder_ = path_.substr(0, slash + 1);
}

OutputFile::~OutputFile() {
  closeFile();
  discard();
}

bool OutputFile::create() {
  if (const char* why = whyNotReplaceable(path_)) return fail(why);
  // The hidden name is longer than the output path: it must fit as well.
  if (temporaryTemplateFor(path_).size() >= PATH_MAX) return fail(kPathTooLong);
  if (existing_ == ExistingOutput::Refuse &&
      ::faccessat(AT_FDCWD, path_.c_str(), F_OK, AT_SYMLINK_NOFOLLOW) == 0) {
    return fail(kOutputExists);
  }
  umask_ = currentUmask();
  return createUnnamed() || createNamed() || failed();
}

// False, and nothing made, when the file system (EOPNOTSUPP), the kernel
// (EISDIR) or anything else says no, or when /proc is not there to name the
// file at commit; the named file is tried then.
bool OutputFile::createUnnamed() {
  const int fd = ::open(folder_.empty() ? "." : folder_.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  if (::access(descriptorPath(fd).c_str(), F_OK) != 0) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

bool OutputFile::createNamed() {
  std::string name = temporaryTemplateFor(path_);
  const SignalsBlocked blocked;
  const int fd = ::mkostemp(name.data(), O_NOFOLLOW | O_CLOEXEC);  // adds O_CREAT | O_EXCL, mode 0600
  if (fd < 0) return false;
  fd_ = fd;
  temporaryPath_ = std::move(name);
  return removeOnSignal(temporaryPath_);  // when false, the destructor removes the file
}

bool OutputFile::reserve(std::uint64_t size) noexcept {
  if (size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return fail(std::strerror(EFBIG));
  int result = 0;
  do {
    result = ::fallocate(fd_, 0, 0, static_cast<off_t>(size));
  } while (result != 0 && errno == EINTR);
  // Any other error (EOPNOTSUPP, ENOSYS, ...) means no reservation, not a failure.
  return result == 0 || (errno != ENOSPC && errno != EFBIG && errno != EDQUOT) || failed();
}

bool OutputFile::commit(mode_t inputMode) {
  const off_t written = ::lseek(fd_, 0, SEEK_CUR);
  if (written < 0 || ::ftruncate(fd_, written) != 0) return failed();
  // A write that failed late shows when a descriptor of the file is closed;
  // this one is needed still.
  if (!closeCopy(fd_)) return failed();
  {
    const SignalsBlocked blocked;
    if (!place()) return false;
  }
  // In place and complete; should either step fail, the output stays 0600.
  const bool permitted = ::fchmod(fd_, inputMode & 0666 & ~umask_) == 0 || failed();
  const bool closed = ::close(std::exchange(fd_, -1)) == 0 || failed();
  return permitted && closed;
}

// Puts the file at the output path: renamed over what stands there, or,
// refusing an existing output, linked there. Called with the signals blocked.
bool OutputFile::place() {
  if (existing_ == ExistingOutput::Replace) {
    if (temporaryPath_.empty() && !name()) return failed();
    if (::rename(temporaryPath_.c_str(), path_.c_str()) != 0) return failed();
  } else {
    const bool unnamed = temporaryPath_.empty();
    const std::string source = unnamed ? descriptorPath(fd_) : temporaryPath_;
    if (::linkat(AT_FDCWD, source.c_str(), AT_FDCWD, path_.c_str(), unnamed ? AT_SYMLINK_FOLLOW : 0) != 0) {
      return errno == EEXIST ? fail(kOutputExists) : failed();
    }
    if (!unnamed && ::unlink(temporaryPath_.c_str()) != 0) return failed();
  }
  temporaryPath_.clear();
  forgetOnSignal();
  return true;
}

// Links the unnamed file under a fresh `.<name>.XXXXXX`, trying again while
// the name is taken. Called with the signals blocked.
bool OutputFile::name() {
  const std::string source = descriptorPath(fd_);
  std::string candidate = temporaryTemplateFor(path_);
  for (int attempt = 0; attempt < 100; ++attempt) {
    renewSuffix(candidate);
    if (::linkat(AT_FDCWD, source.c_str(), AT_FDCWD, candidate.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      temporaryPath_ = std::move(candidate);
      return removeOnSignal(temporaryPath_);  // when false, the destructor removes the name
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

bool OutputFile::fail(const char* reason) noexcept {
  reason_ = reason;
  return false;
}

bool OutputFile::failed() noexcept { return fail(std::strerror(errno)); }

void OutputFile::closeFile() noexcept {
  if (fd_ >= 0) ::close(std::exchange(fd_, -1));
}

void OutputFile::discard() noexcept {
  if (temporaryPath_.empty()) return;
  const SignalsBlocked blocked;
  ::unlink(temporaryPath_.c_str());
  temporaryPath_.clear();
  forgetOnSignal();
}

}  // namespace unseal
