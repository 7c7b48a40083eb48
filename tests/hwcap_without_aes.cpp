// Preloaded into a test on aarch64 (scripts/aarch64.sh), it makes the
// operating system report a CPU without the AES instructions, which qemu's
// CPU models all have: getauxval(AT_HWCAP) loses HWCAP_AES.
#include <asm/hwcap.h>
#include <dlfcn.h>
#include <sys/auxv.h>

extern "C" unsigned long getauxval(unsigned long type) noexcept {
  using Real = unsigned long (*)(unsigned long);
  static const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "getauxval"));
  const unsigned long value = real(type);
  return type == AT_HWCAP ? value & ~static_cast<unsigned long>(HWCAP_AES) : value;
}
