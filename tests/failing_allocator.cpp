// Preloaded into the unseal command by its end-to-end test to play exhausted
// resources and missing features: with UNSEAL_FAIL_ALLOCATION=n in the
// environment, the n-th call of operator new (counted from 0) and every later
// one throw std::bad_alloc; with UNSEAL_FAIL_THREADS set, pthread_create fails
// with EAGAIN, as at the process limit, and otherwise starts the thread; with
// UNSEAL_NO_UNNAMED_FILES set, open with O_TMPFILE fails with EOPNOTSUPP, as
// on a file system that cannot make unnamed files; with UNSEAL_RAISE_AFTER_NAMING=s,
// the process sends itself signal s as soon as linkat or mkostemp has given
// a file a name.
#undef _FORTIFY_SOURCE  // its inline open() would clash with the one defined here
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <new>

namespace {
long allocations = 0;

using Open = int (*)(const char*, int, ...);

int openUnlessUnnamed(const char* next, const char* path, int flags, va_list rest) {
  const mode_t mode = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(rest, mode_t) : 0;
  if ((flags & O_TMPFILE) == O_TMPFILE && std::getenv("UNSEAL_NO_UNNAMED_FILES") != nullptr) {
    errno = EOPNOTSUPP;
    return -1;
  }
  return reinterpret_cast<Open>(::dlsym(RTLD_NEXT, next))(path, flags, mode);
}

template <typename Result>
Result raiseAfterNaming(Result result) {
  const char* signal = std::getenv("UNSEAL_RAISE_AFTER_NAMING");
  if (result >= 0 && signal != nullptr) ::raise(std::atoi(signal));
  return result;
}
}  // namespace

extern "C" int linkat(int fromFolder, const char* from, int toFolder, const char* to, int flags) noexcept {
  using Linkat = int (*)(int, const char*, int, const char*, int);
  static const auto next = reinterpret_cast<Linkat>(::dlsym(RTLD_NEXT, "linkat"));
  return raiseAfterNaming(next(fromFolder, from, toFolder, to, flags));
}

extern "C" int mkostemp(char* name, int flags) {
  using Mkostemp = int (*)(char*, int);
  static const auto next = reinterpret_cast<Mkostemp>(::dlsym(RTLD_NEXT, "mkostemp"));
  return raiseAfterNaming(next(name, flags));
}

void* operator new(std::size_t size) {
  static const char* setting = std::getenv("UNSEAL_FAIL_ALLOCATION");
  static const long failFrom = setting != nullptr ? std::atol(setting) : -1;
  if (failFrom >= 0 && allocations++ >= failFrom) throw std::bad_alloc();
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                              void* arg) noexcept {
  if (std::getenv("UNSEAL_FAIL_THREADS") != nullptr) return EAGAIN;
  using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  static const auto next = reinterpret_cast<Create>(::dlsym(RTLD_NEXT, "pthread_create"));
  return next(thread, attr, start, arg);
}

// open and open64, as the C library may call either.
#define UNSEAL_OPEN(name)                                       \
  extern "C" int name(const char* path, int flags, ...) {       \
    va_list rest;                                               \
    va_start(rest, flags);                                      \
    const int fd = openUnlessUnnamed(#name, path, flags, rest); \
    va_end(rest);                                               \
    return fd;                                                  \
  }
UNSEAL_OPEN(open)
UNSEAL_OPEN(open64)
