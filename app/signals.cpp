#include "app/signals.h"

#include <limits.h>
#include <pthread.h>
#include <unistd.h>

#include <cstring>

namespace unseal {
namespace {

constexpr int kTerminatingSignals[] = {SIGHUP, SIGINT, SIGTERM};

// The path the handler removes; empty when none. Written only while the
// signals are blocked, so the handler always reads a whole path.
char pathToRemove[PATH_MAX];

sigset_t terminatingSignals() noexcept {
  sigset_t set;
  sigemptyset(&set);
  for (const int s : kTerminatingSignals) sigaddset(&set, s);
  return set;
}

void setAction(int signo, void (*handler)(int)) noexcept {
  struct sigaction action {};
  action.sa_handler = handler;
  action.sa_mask = terminatingSignals();  // one handler at a time
  ::sigaction(signo, &action, nullptr);
}

// Only async-signal-safe calls. While this handler runs its signal is
// blocked, so the raised one waits until the handler returns and is then
// taken with the default action, which ends the process.
void removeAndTerminate(int signo) {
  if (pathToRemove[0] != '\0') ::unlink(pathToRemove);
  setAction(signo, SIG_DFL);
  ::raise(signo);
}

bool ignoredAtStart(int signo) noexcept {
  struct sigaction current {};
  return ::sigaction(signo, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

}  // namespace

void installSignalHandling() noexcept {
  setAction(SIGPIPE, SIG_IGN);
  setAction(SIGXFSZ, SIG_IGN);
  for (const int s : kTerminatingSignals) {
    if (!ignoredAtStart(s)) setAction(s, removeAndTerminate);
  }
}

SignalsBlocked::SignalsBlocked() noexcept {
  const sigset_t set = terminatingSignals();
  ::pthread_sigmask(SIG_BLOCK, &set, &previous_);
}

SignalsBlocked::~SignalsBlocked() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

bool removeOnSignal(std::string_view path) noexcept {
  if (path.size() >= sizeof pathToRemove || path.find('\0') != std::string_view::npos) {
    forgetOnSignal();
    return false;
  }
  std::memcpy(pathToRemove, path.data(), path.size());
  pathToRemove[path.size()] = '\0';
  return true;
}

void forgetOnSignal() noexcept { pathToRemove[0] = '\0'; }

}  // namespace unseal
