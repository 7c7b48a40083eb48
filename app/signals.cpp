#include "app/signals.h"

#include <limits.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

namespace unseal {
namespace {

// Signals a thread can be sent, whose default action ends the process. (The
// real-time signals are added at run time: SIGRTMIN depends on the C library.)
constexpr int kSentSignals[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGABRT, SIGUSR1,   SIGUSR2,
    SIGALRM,   SIGTERM, SIGXCPU, SIGIO,   SIGVTALRM, SIGPROF,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGEMT
    SIGEMT,
#endif
};
// Faults, which end the process too. Raised by the kernel in the thread that
// caused them, they are taken even when blocked (by their default action
// then); blocked, those sent with kill wait like the others.
constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS};
// Signals that stop the process by default (SIGSTOP aside, which cannot be caught).
constexpr int kStopSignals[] = {SIGTSTP, SIGTTIN, SIGTTOU};

// The path the handler removes; empty when none. Its first byte is written
// last and cleared first, and every write happens with the signals blocked,
// so the handler always reads a whole path or none.
char pathToRemove[PATH_MAX];

// The terminal settings the handlers put back (saved) and apply again
// (reading), valid while terminalSaved.
termios savedTerminal, readingTerminal;
int terminalFd = -1;
volatile sig_atomic_t terminalSaved = 0;

// The signals a SignalsBlocked scope holds: all that end the process.
sigset_t heldSignals() noexcept {
  sigset_t set;
  sigemptyset(&set);
  for (const int s : kSentSignals) sigaddset(&set, s);
  for (int s = SIGRTMIN; s <= SIGRTMAX; ++s) sigaddset(&set, s);
  for (const int s : kFaultSignals) sigaddset(&set, s);
  return set;
}

// One handler at a time; SA_RESTART, so a stop and continue interrupts no
// read or write.
void setAction(int signo, void (*handler)(int)) noexcept {
  struct sigaction action {};
  action.sa_handler = handler;
  action.sa_mask = heldSignals();
  for (const int s : kStopSignals) sigaddset(&action.sa_mask, s);
  sigaddset(&action.sa_mask, SIGCONT);
  action.sa_flags = SA_RESTART;
  ::sigaction(signo, &action, nullptr);
}

// The terminal is this process's to set: it is in the foreground there, or
// the terminal controls no session of it.
bool ownsTerminal() noexcept {
  const pid_t foreground = ::tcgetpgrp(terminalFd);
  return foreground < 0 || foreground == ::getpgrp();
}

void setTerminal(const termios& settings) noexcept {
  if (terminalSaved != 0 && ownsTerminal()) ::tcsetattr(terminalFd, TCSANOW, &settings);
}

// Only async-signal-safe calls. While this handler runs its signal is
// blocked, so the raised one waits until the handler returns and is then
// taken with the default action, which ends the process. (A fault raised by
// an instruction happens again when the handler returns, with the default
// action too.)
void cleanUpAndTerminate(int signo) {
  if (pathToRemove[0] != '\0') ::unlink(pathToRemove);
  setTerminal(savedTerminal);
  setAction(signo, SIG_DFL);
  ::raise(signo);
}

// A stop (Ctrl-Z): the terminal as the shell gave it, then the stop itself,
// by the default action of the same signal, and once continued the reading
// settings again (the stop does not happen in an orphaned process group).
void restoreTerminalAndStop(int signo) {
  const int savedErrno = errno;
  setTerminal(savedTerminal);
  setAction(signo, SIG_DFL);
  ::raise(signo);  // held until unblocked here
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, signo);
  ::pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);
  setAction(signo, restoreTerminalAndStop);
  setTerminal(readingTerminal);
  errno = savedErrno;
}

// A shell that continues a job may have put its own terminal settings back,
// and a stop by SIGSTOP passes no handler.
void continueReading(int) {
  const int savedErrno = errno;
  setTerminal(readingTerminal);
  errno = savedErrno;
}

bool ignoredAtStart(int signo) noexcept {
  struct sigaction current {};
  return ::sigaction(signo, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

void handleUnlessIgnored(int signo, void (*handler)(int) = cleanUpAndTerminate) noexcept {
  if (!ignoredAtStart(signo)) setAction(signo, handler);
}

}  // namespace

void installSignalHandling() noexcept {
  setAction(SIGPIPE, SIG_IGN);
  setAction(SIGXFSZ, SIG_IGN);
  for (const int s : kSentSignals) handleUnlessIgnored(s);
  for (int s = SIGRTMIN; s <= SIGRTMAX; ++s) handleUnlessIgnored(s);
  for (const int s : kFaultSignals) handleUnlessIgnored(s);
  for (const int s : kStopSignals) handleUnlessIgnored(s, restoreTerminalAndStop);
  setAction(SIGCONT, continueReading);
}

SignalsBlocked::SignalsBlocked() noexcept {
  const sigset_t set = heldSignals();
  ::pthread_sigmask(SIG_BLOCK, &set, &previous_);
}

SignalsBlocked::~SignalsBlocked() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

void unblockFaults() noexcept {
  sigset_t set;
  sigemptyset(&set);
  for (const int s : kFaultSignals) sigaddset(&set, s);
  ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

bool removeOnSignal(std::string_view path) noexcept {
  forgetOnSignal();
  if (path.empty() || path.size() >= sizeof pathToRemove || path.find('\0') != std::string_view::npos) {
    return false;
  }
  std::memcpy(pathToRemove + 1, path.data() + 1, path.size() - 1);
  pathToRemove[path.size()] = '\0';
  std::atomic_signal_fence(std::memory_order_seq_cst);  // the rest before the first byte
  pathToRemove[0] = path[0];
  return true;
}

void forgetOnSignal() noexcept { pathToRemove[0] = '\0'; }

void restoreTerminalOnSignal(int fd, const termios& saved, const termios& reading) noexcept {
  terminalSaved = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  savedTerminal = saved;
  readingTerminal = reading;
  terminalFd = fd;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  terminalSaved = 1;
}

void forgetTerminal() noexcept { terminalSaved = 0; }

}  // namespace unseal
