#include "app/buffer_writer.h"

#include <cerrno>
#include <system_error>

#include "app/descriptor_io.h"
#include "app/signals.h"

namespace unseal {

BufferWriter::BufferWriter(int fd) : fd_(fd) {
  try {
    const SignalsBlocked blocked;  // the new thread starts with this mask
    thread_ = std::thread(&BufferWriter::writeHandedOver, this);
  } catch (const std::system_error&) {
    // No thread (process limit, no memory for its stack): write() writes inline.
  }
}

BufferWriter::~BufferWriter() { stop(); }

bool BufferWriter::write(const char* p, std::size_t n) {
  if (!thread_.joinable()) {
    if (!failed_ && !writeAll(fd_, p, n)) {
      failed_ = true;
      error_ = errno;
    }
    return !failed_ || failure();
  }
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return buffer_ == nullptr; });
  if (failed_) return failure();
  buffer_ = p;
  size_ = n;
  changed_.notify_all();
  return true;
}

bool BufferWriter::finish() {
  if (thread_.joinable()) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return buffer_ == nullptr; });
  }
  stop();
  return !failed_ || failure();
}

// False, with errno as the failed write left it (on whichever thread).
bool BufferWriter::failure() const noexcept {
  errno = error_;
  return false;
}

// The thread: writes each buffer handed over until told to stop. After a
// failed write, write() hands over nothing more.
void BufferWriter::writeHandedOver() {
  unblockFaults();
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return buffer_ != nullptr || stopping_; });
    if (stopping_) return;
    const char* const p = buffer_;
    const std::size_t n = size_;
    lock.unlock();
    const bool written = writeAll(fd_, p, n);
    lock.lock();
    failed_ = !written;
    if (!written) error_ = errno;
    buffer_ = nullptr;
    changed_.notify_all();
  }
}

void BufferWriter::stop() noexcept {
  if (!thread_.joinable()) return;
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

}  // namespace unseal
