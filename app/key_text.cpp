#include "app/key_text.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app/signals.h"
#include "unseal/wipe.h"

namespace unseal {
namespace {

// Echo off on a terminal for as long as it lives; the settings it found are
// registered for a signal to restore, and restored when it goes.
class EchoOff {
 public:
  explicit EchoOff(int fd) noexcept : fd_(fd) {
    if (::isatty(fd) == 0 || ::tcgetattr(fd, &saved_) != 0) return;
    termios quiet = saved_;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    {
      const SignalsBlocked blocked;
      restoreTerminalOnSignal(fd, saved_);
    }
    active_ = ::tcsetattr(fd, TCSANOW, &quiet) == 0;
    if (!active_) forget();
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;
  ~EchoOff() {
    if (!active_) return;
    ::tcsetattr(fd_, TCSANOW, &saved_);
    forget();
  }

 private:
  static void forget() noexcept {
    const SignalsBlocked blocked;
    forgetTerminal();
  }

  int fd_;
  termios saved_{};
  bool active_ = false;
};

}  // namespace

KeyText::~KeyText() {
  secureWipe(bytes_, sizeof bytes_);
  length_ = 0;
}

void KeyText::append(char c) noexcept {
  if (length_ < kCapacity) bytes_[length_] = c;
  ++length_;
}

void KeyText::takeArgument(char* arg) noexcept {
  const std::size_t n = std::strlen(arg);
  for (std::size_t i = 0; i < n; ++i) append(arg[i]);
  secureWipe(arg, n);
  clearVectorRegisters();
}

bool KeyText::readLine(int fd) noexcept {
  const EchoOff echoOff(fd);
  char c = 0;
  bool read = true;
  for (;;) {
    const ssize_t got = ::read(fd, &c, 1);
    if (got == 0 || (got == 1 && c == '\n')) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      read = false;
      break;
    }
    append(c);
  }
  secureWipe(&c, sizeof c);
  clearVectorRegisters();
  return read;
}

}  // namespace unseal
