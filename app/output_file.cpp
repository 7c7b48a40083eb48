#include "app/output_file.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <string_view>
#include <utility>

#include "app/signals.h"

namespace unseal {
namespace {

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

// The process's umask, which can only be read by setting it. No other thread
// runs at commit, so no file is created while it is briefly 0.
mode_t currentUmask() noexcept {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

}  // namespace

OutputFile::OutputFile(std::string path) : path_(std::move(path)) {}

OutputFile::~OutputFile() {
  closeFile();
  discard();
}

bool OutputFile::create() {
  std::string name = temporaryTemplateFor(path_);
  const SignalsBlocked blocked;
  const int fd = ::mkostemp(name.data(), O_NOFOLLOW | O_CLOEXEC);  // adds O_CREAT | O_EXCL, mode 0600
  if (fd < 0) return false;
  fd_ = fd;
  temporaryPath_ = std::move(name);
  return removeOnSignal(temporaryPath_);  // when false, the destructor removes the file
}

bool OutputFile::reserve(std::uint64_t size) noexcept {
  if (size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return false;
  int result = 0;
  do {
    result = ::fallocate(fd_, 0, 0, static_cast<off_t>(size));
  } while (result != 0 && errno == EINTR);
  // Any other error (EOPNOTSUPP, ENOSYS, ...) means no reservation, not a failure.
  return result == 0 || (errno != ENOSPC && errno != EFBIG && errno != EDQUOT);
}

bool OutputFile::commit(mode_t inputMode) {
  const off_t written = ::lseek(fd_, 0, SEEK_CUR);
  if (written < 0 || ::ftruncate(fd_, written) != 0) return false;
  if (::fchmod(fd_, inputMode & 0666 & ~currentUmask()) != 0) return false;
  const int fd = std::exchange(fd_, -1);
  if (::close(fd) != 0) return false;  // a write that failed late (quota, network file system)
  const SignalsBlocked blocked;
  if (::rename(temporaryPath_.c_str(), path_.c_str()) != 0) return false;
  temporaryPath_.clear();
  forgetOnSignal();
  return true;
}

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
