// Preloaded into the unseal command by its end-to-end test to play exhausted
// resources: with UNSEAL_FAIL_ALLOCATION=n in the environment, the n-th call
// of operator new (counted from 0) and every later one throw std::bad_alloc;
// with UNSEAL_FAIL_THREADS set, pthread_create fails with EAGAIN, as at the
// process limit, and otherwise starts the thread.
#include <dlfcn.h>
#include <pthread.h>

#include <cerrno>
#include <cstdlib>
#include <new>

namespace {
long allocations = 0;
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
