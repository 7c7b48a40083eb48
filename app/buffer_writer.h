// Writing one buffer while the caller fills the next (double buffering).
//
// BufferWriter(fd) starts a thread that writes the buffers handed to it to
// descriptor fd, in order. The signals sent to end the process stay blocked
// in that thread, so the process's handler (app/signals.h) runs on the
// caller's thread. If the thread cannot be started, each buffer is written inline
// by write(): the same bytes in the same order, on one thread.
// write(p, n) hands over n bytes at p, first waiting until the buffer handed
// over before is written: so with two buffers used in turn, the one write
// returns with is free to refill, and p must stay untouched until the next
// write or finish returns. False, and nothing handed over, once a write has
// failed. finish() waits for the last buffer and stops the thread; true when
// every write succeeded. When either returns false, errno says why the
// write failed. An object that goes without finish() stops the
// thread without writing a buffer still waiting (a run that failed).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>

namespace unseal {

class BufferWriter {
 public:
  explicit BufferWriter(int fd);
  BufferWriter(const BufferWriter&) = delete;
  BufferWriter& operator=(const BufferWriter&) = delete;
  ~BufferWriter();

  bool write(const char* p, std::size_t n);
  bool finish();

 private:
  void writeHandedOver();
  bool failure() const noexcept;
  void stop() noexcept;

  int fd_;
  std::mutex mutex_;
  std::condition_variable changed_;
  const char* buffer_ = nullptr;  // handed over and not yet written; null when none
  std::size_t size_ = 0;
  bool failed_ = false;
  int error_ = 0;  // errno of the failed write
  bool stopping_ = false;
  std::thread thread_;  // last, so it starts once the state above is set up
};

}  // namespace unseal
