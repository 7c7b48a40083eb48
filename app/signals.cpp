#include "app/signals.h"

#include <limits.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
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
// Faults, which end the process too; raised by the kernel in the thread that
// caused them, so blocking them would change nothing.
constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS};

// The path the handler removes; empty when none. Its first byte is written
// last and cleared first, and every write happens with the sent signals
// blocked, so the handler always reads a whole path or none.
char pathToRemove[PATH_MAX];

// The terminal settings the handler puts back, valid while terminalSaved.
termios savedTerminal;
int terminalFd = -1;
volatile sig_atomic_t terminalSaved = 0;

sigset_t sentSignals() noexcept {
  sigset_t set;
  sigemptyset(&set);
  for (const int s : kSentSignals) sigaddset(&set, s);
  for (int s = SIGRTMIN; s <= SIGRTMAX; ++s) sigaddset(&set, s);
  return set;
}

void setAction(int signo, void (*handler)(int)) noexcept {
  struct sigaction action {};
  action.sa_handler = handler;
  action.sa_mask = sentSignals();  // one handler at a time
  for (const int s : kFaultSignals) sigaddset(&action.sa_mask, s);
  ::sigaction(signo, &action, nullptr);
}

// Only async-signal-safe calls. While this handler runs its signal is
// blocked, so the raised one waits until the handler returns and is then
// taken with the default action, which ends the process. (A fault raised by
// an instruction happens again when the handler returns, with the default
// action too.)
void cleanUpAndTerminate(int signo) {
  if (pathToRemove[0] != '\0') ::unlink(pathToRemove);
  if (terminalSaved != 0) ::tcsetattr(terminalFd, TCSANOW, &savedTerminal);
  setAction(signo, SIG_DFL);
  ::raise(signo);
}

bool ignoredAtStart(int signo) noexcept {
  struct sigaction current {};
  return ::sigaction(signo, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

void handleUnlessIgnored(int signo) noexcept {
  if (!ignoredAtStart(signo)) setAction(signo, cleanUpAndTerminate);
}

}  // namespace

void installSignalHandling() noexcept {
  setAction(SIGPIPE, SIG_IGN);
  setAction(SIGXFSZ, SIG_IGN);
  for (const int s : kSentSignals) handleUnlessIgnored(s);
  for (int s = SIGRTMIN; s <= SIGRTMAX; ++s) handleUnlessIgnored(s);
  for (const int s : kFaultSignals) handleUnlessIgnored(s);
}

SignalsBlocked::SignalsBlocked() noexcept {
  const sigset_t set = sentSignals();
  ::pthread_sigmask(SIG_BLOCK, &set, &previous_);
}

SignalsBlocked::~SignalsBlocked() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

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

void restoreTerminalOnSignal(int fd, const termios& settings) noexcept {
  terminalSaved = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  savedTerminal = settings;
  terminalFd = fd;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  terminalSaved = 1;
}

void forgetTerminal() noexcept { terminalSaved = 0; }

}  // namespace unseal
