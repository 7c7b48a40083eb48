#include "app/key_text.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "app/signals.h"
#include "unseal/wipe.h"

namespace unseal {
namespace {

// A terminal set up to type a key on, for as long as it lives: no echo, and
// each byte delivered as it is typed, not once the line is complete, since a
// stop (Ctrl-Z) discards what the terminal holds but nothing already read.
// So the line is edited here, as the terminal would: the erase character
// removes the last character, the kill character the whole line, and the
// end-of-file character ends it. Its settings are registered for a signal
// to restore (app/signals.h), and restored when it goes.
class KeyTerminal {
 public:
  enum class Typed { Text, EraseCharacter, EraseLine, End };

  explicit KeyTerminal(int fd) noexcept : fd_(fd) {
    if (::isatty(fd) == 0 || ::tcgetattr(fd, &saved_) != 0) return;
    editing_ = (saved_.c_lflag & ICANON) != 0;
    termios reading = saved_;
    reading.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON);
    reading.c_cc[VMIN] = 1;
    reading.c_cc[VTIME] = 0;
    {
      const SignalsBlocked blocked;
      restoreTerminalOnSignal(fd, saved_, reading);
    }
    active_ = ::tcsetattr(fd, TCSANOW, &reading) == 0;
    if (!active_) forget();
  }
  KeyTerminal(const KeyTerminal&) = delete;
  KeyTerminal& operator=(const KeyTerminal&) = delete;
  ~KeyTerminal() {
    if (!active_) return;
    ::tcsetattr(fd_, TCSANOW, &saved_);
    forget();
  }

  Typed meaning(char c) const noexcept {
    if (!active_ || !editing_) return Typed::Text;
    if (is(c, VERASE)) return Typed::EraseCharacter;
    if (is(c, VKILL)) return Typed::EraseLine;
    return is(c, VEOF) ? Typed::End : Typed::Text;
  }
  // The erase character removes a whole UTF-8 character.
  bool utf8() const noexcept { return (saved_.c_iflag & IUTF8) != 0; }

 private:
  bool is(char c, int special) const noexcept {
    const cc_t value = saved_.c_cc[special];
    return value != _POSIX_VDISABLE && static_cast<cc_t>(c) == value;
  }
  static void forget() noexcept {
    const SignalsBlocked blocked;
    forgetTerminal();
  }

  int fd_;
  termios saved_{};
  bool active_ = false;
  bool editing_ = false;
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

// The byte removed, or 0 when it was not kept.
char KeyText::removeLast() noexcept {
  if (--length_ >= kCapacity) return '\0';
  return std::exchange(bytes_[length_], '\0');
}

void KeyText::eraseCharacter(bool utf8) noexcept {
  while (length_ > 0) {
    const auto removed = static_cast<unsigned char>(removeLast());
    if (!utf8 || (removed & 0xC0) != 0x80) break;  // a UTF-8 continuation byte goes with the one before
  }
}

void KeyText::takeArgument(char* arg) noexcept {
  const std::size_t n = std::strlen(arg);
  for (std::size_t i = 0; i < n; ++i) append(arg[i]);
  secureWipe(arg, n);
  clearVectorRegisters();
}

bool KeyText::readLine(int fd) noexcept {
  const KeyTerminal terminal(fd);
  using Typed = KeyTerminal::Typed;
  char c = 0;
  bool read = true;
  for (;;) {
    const ssize_t got = ::read(fd, &c, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      read = false;
      break;
    }
    if (got == 0 || c == '\n') break;
    const Typed typed = terminal.meaning(c);
    if (typed == Typed::End) break;
    if (typed == Typed::EraseCharacter) {
      eraseCharacter(terminal.utf8());
    } else if (typed == Typed::EraseLine) {
      while (length_ > 0) removeLast();
    } else {
      append(c);
    }
  }
  secureWipe(&c, sizeof c);
  clearVectorRegisters();
  return read;
}

}  // namespace unseal
