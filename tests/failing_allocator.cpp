// Preloaded into the unseal command by its end-to-end test to play exhausted
// memory: with UNSEAL_FAIL_ALLOCATION=n in the environment, the n-th call of
// operator new (counted from 0) and every later one throw std::bad_alloc.
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
