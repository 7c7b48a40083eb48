// The key the command is given, kept where it is wiped.
//
// A KeyText holds the first kCapacity bytes of a key and its whole length (a
// longer key is counted, not kept), and wipes them when it goes.
// takeArgument(arg) copies a command-line argument and overwrites it with
// zeros where it stands, so the process list (/proc/<pid>/cmdline, ps) no
// longer shows it. readLine(fd) reads one line from descriptor fd, up to a
// newline or the end of the input (the newline is not part of the key), a
// byte at a time, so nothing after the line is consumed. While a terminal
// types it, the terminal's echo is off and its bytes are read as they are
// typed, the line edited here (erase, kill, end of file), so a stop and
// continue (Ctrl-Z, fg) keeps what was typed; the terminal's settings are
// put back while the process is stopped, and restored however the reading
// ends, by a signal too (app/signals.h). False when reading fails.
// Both clear the vector registers the copying went through.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>

namespace unseal {

class KeyText {
 public:
  static constexpr std::size_t kCapacity = 32;

  KeyText() = default;
  KeyText(const KeyText&) = delete;
  KeyText& operator=(const KeyText&) = delete;
  ~KeyText();

  void takeArgument(char* arg) noexcept;
  bool readLine(int fd) noexcept;

  std::size_t length() const noexcept { return length_; }
  // The bytes kept: the whole key when length() <= kCapacity.
  std::string_view text() const noexcept { return {bytes_, std::min(length_, kCapacity)}; }

 private:
  void append(char c) noexcept;
  char removeLast() noexcept;
  void eraseCharacter(bool utf8) noexcept;

  char bytes_[kCapacity] = {};
  std::size_t length_ = 0;
};

}  // namespace unseal
