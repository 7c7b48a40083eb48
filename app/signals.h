// What signals do to a run.
//
// installSignalHandling() is called once at start, before any file is made.
// SIGPIPE and SIGXFSZ are ignored, so a closed pipe or a file size limit
// shows as a failed write instead of ending the process without a word.
// SIGINT, SIGTERM and SIGHUP, unless already ignored at start (under nohup,
// or a background job of a script), remove the file registered with
// removeOnSignal and then end the process by that same signal with its
// default action, so the caller sees the usual status.
//
// removeOnSignal(path) registers the file a signal removes (false, and
// nothing registered, when the path is too long to keep); forgetOnSignal()
// clears it. Call both inside a SignalsBlocked scope, which holds those three
// signals back while the file is made, renamed or removed, so the handler
// never sees a half-copied path or one whose file was just put in place.
// All signal handling of the process is set up here.
#pragma once

#include <signal.h>

#include <string_view>

namespace unseal {

void installSignalHandling() noexcept;

class SignalsBlocked {
 public:
  SignalsBlocked() noexcept;
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;
  ~SignalsBlocked();

 private:
  sigset_t previous_;
};

bool removeOnSignal(std::string_view path) noexcept;
void forgetOnSignal() noexcept;

}  // namespace unseal
