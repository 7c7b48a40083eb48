#include "app/descriptor_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace unseal {

Descriptor::~Descriptor() {
  if (fd_ >= 0) ::close(fd_);
}

ssize_t readFull(int fd, char* p, std::size_t n) noexcept {
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r = ::read(fd, p + got, n - got);
    if (r == 0) break;  // end of file
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    got += static_cast<std::size_t>(r);
  }
  return static_cast<ssize_t>(got);
}

bool writeAll(int fd, const char* p, std::size_t n) noexcept {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w <= 0) {
      if (w < 0 && errno == EINTR) continue;
      if (w == 0) errno = ENOSPC;  // a device that takes nothing more
      return false;
    }
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

bool closeCopy(int fd) noexcept {
  const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  return copy >= 0 && ::close(copy) == 0;
}

bool openStandardDescriptors() noexcept {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open gives the lowest free number, which is fd: the ones below are open.
    if (::open("/dev/null", O_RDWR) != fd) return false;
  }
  return true;
}

}  // namespace unseal
