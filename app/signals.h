// What signals do to a run.
//
// installSignalHandling() is called once at start, before any file is made.
// SIGPIPE and SIGXFSZ are ignored, so a closed pipe or a file size limit
// shows as a failed write instead of ending the process without a word.
// Every other signal whose default action ends the process (SIGHUP, SIGINT,
// SIGQUIT, SIGTERM, SIGUSR1, SIGALRM, SIGXCPU, the real-time signals, the
// faults SIGSEGV, SIGBUS, SIGILL, ... : all but SIGKILL and SIGSTOP, which
// cannot be caught) removes the file registered with removeOnSignal, restores
// the terminal registered with restoreTerminalOnSignal, and then ends the
// process by that same signal with its default action, so the caller sees
// the usual status. The stop signals (SIGTSTP: Ctrl-Z; SIGTTIN, SIGTTOU) put
// that terminal's saved settings back before the process stops, and SIGCONT
// applies its reading settings again, each only while the process is in the
// terminal's foreground. A signal ignored at start (under nohup, or SIGINT
// for a background job of a script) stays ignored.
//
// removeOnSignal(path) registers the file a signal removes (false, and
// nothing registered, when the path is too long to keep); forgetOnSignal()
// clears it. restoreTerminalOnSignal(fd, saved, reading) registers a
// terminal's settings to put back and those it is read with; forgetTerminal()
// clears them. Call these inside a SignalsBlocked scope, which holds every
// signal that ends the process, the faults sent with kill included, while
// the file is made, named, renamed or removed, so the handler never sees a
// half-copied path, one whose file was just put in place, or none for a file
// just made. A thread started inside such a scope keeps them blocked for
// good, so the handler runs on the main thread, but for the faults, which
// it unblocks with unblockFaults() (a fault it causes itself is taken by the
// default action while blocked). All signal handling of the process is set
// up here.
#pragma once

#include <signal.h>
#include <termios.h>

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
void restoreTerminalOnSignal(int fd, const termios& saved, const termios& reading) noexcept;
void forgetTerminal() noexcept;
void unblockFaults() noexcept;

}  // namespace unseal
