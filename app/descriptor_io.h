// File descriptors as the command uses them.
//
// Descriptor owns one open descriptor and closes it when it goes (-1: none).
// readFull(fd, p, n) reads until it has n bytes or the input reports end of
// file, so a pipe or FIFO that delivers in pieces reads like a file; it
// returns the count read (below n only at end of file), or -1 on an error.
// writeAll(fd, p, n) writes all n bytes; false on an error (errno ENOSPC
// for a device that takes nothing more). Both retry reads and writes cut
// short or interrupted by a signal (EINTR).
// closeCopy(fd) closes a copy of fd: false, errno saying why, when a write
// that failed late (quota, network file system) shows there.
// openStandardDescriptors() opens /dev/null on each of descriptors 0, 1 and 2
// that is closed, so no file opened later takes their place and receives
// console output; false when that is not possible.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace unseal {

class Descriptor {
 public:
  explicit Descriptor(int fd) noexcept : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor();

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }

 private:
  int fd_;
};

ssize_t readFull(int fd, char* p, std::size_t n) noexcept;
bool writeAll(int fd, const char* p, std::size_t n) noexcept;
bool closeCopy(int fd) noexcept;
bool openStandardDescriptors() noexcept;

}  // namespace unseal
