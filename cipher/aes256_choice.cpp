// The choice of AES-256 implementation: the CPU's feature bits, what each
// kind of instruction needs of them, and the first implementation in order
// of preference whose instructions the CPU runs. Only cpuFeatures() asks the
// CPU; the rest is a function of the bits, so the tests can hand it any CPU.
#include <cstdint>

#include "cipher/aes256_impl.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif
#if defined(__aarch64__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

namespace unseal::detail {
namespace {

// CPUID leaf 1 ECX: SSSE3, AES, OSXSAVE (the OS has enabled XGETBV and XSAVE), AVX;
// EDX: SSE2. Leaf 7 EBX: AVX2; ECX: VAES. XCR0: the OS saves the XMM and the
// YMM registers. aarch64's AT_HWCAP: the AES instructions.
constexpr std::uint32_t kLeaf1EcxSsse3 = 1u << 9, kLeaf1EcxAes = 1u << 25, kLeaf1EcxOsXsave = 1u << 27,
                        kLeaf1EcxAvx = 1u << 28;
constexpr std::uint32_t kLeaf1EdxSse2 = 1u << 26;
constexpr std::uint32_t kLeaf7EbxAvx2 = 1u << 5, kLeaf7EcxVaes = 1u << 9;
constexpr std::uint64_t kXcr0XmmYmm = 0x6;
constexpr std::uint64_t kHwcapAes = 1u << 3;
#if defined(__aarch64__)
static_assert(kHwcapAes == HWCAP_AES);
#endif

constexpr bool allOf(std::uint64_t bits, std::uint64_t wanted) { return (bits & wanted) == wanted; }

CpuFeatures readCpuFeatures() noexcept {
  CpuFeatures cpu;
#if defined(__x86_64__) || defined(__i386__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0) cpu.leaf1Ecx = ecx, cpu.leaf1Edx = edx;
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0) cpu.leaf7Ebx = ebx, cpu.leaf7Ecx = ecx;
  // XGETBV faults unless the OS has enabled it.
  if ((cpu.leaf1Ecx & kLeaf1EcxOsXsave) != 0) {
    unsigned low = 0, high = 0;
    asm volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    cpu.xcr0 = std::uint64_t{high} << 32 | low;
  }
#endif
#if defined(__aarch64__)
  cpu.hwcap = getauxval(AT_HWCAP);
#endif
  return cpu;
}

}  // namespace

std::span<const Aes256Impl* const> aes256Impls() noexcept {
  static constexpr const Aes256Impl* kAll[] = {
#if UNSEAL_HARDWARE_AES && (defined(__x86_64__) || defined(__i386__))
    &aes256Vaes,
    &aes256AesNi,
#endif
#if UNSEAL_HARDWARE_AES && defined(__aarch64__)
    &aes256Armv8,
#endif
#if defined(__x86_64__) || defined(__i386__) || defined(__aarch64__)
    &aes256Vperm,
#endif
    &aes256Bitsliced,
    &aes256Portable,
  };
  return kAll;
}

bool cpuRuns(const CpuFeatures& cpu, AesInstructions needs) noexcept {
  const bool aesNi = allOf(cpu.leaf1Ecx, kLeaf1EcxAes) && allOf(cpu.leaf1Edx, kLeaf1EdxSse2);
  switch (needs) {
    case AesInstructions::none: return true;
    case AesInstructions::ssse3:
      return allOf(cpu.leaf1Ecx, kLeaf1EcxSsse3) && allOf(cpu.leaf1Edx, kLeaf1EdxSse2);
    case AesInstructions::aesNi: return aesNi;
    case AesInstructions::vaes:
      return aesNi && allOf(cpu.leaf1Ecx, kLeaf1EcxOsXsave | kLeaf1EcxAvx) && allOf(cpu.xcr0, kXcr0XmmYmm) &&
             allOf(cpu.leaf7Ebx, kLeaf7EbxAvx2) && allOf(cpu.leaf7Ecx, kLeaf7EcxVaes);
    case AesInstructions::armv8: return allOf(cpu.hwcap, kHwcapAes);
  }
  return false;
}

const Aes256Impl& chooseAes256Impl(const CpuFeatures& cpu) noexcept {
  for (const Aes256Impl* impl : aes256Impls()) {
    if (cpuRuns(cpu, impl->needs)) return *impl;
  }
  return aes256Portable;
}

const CpuFeatures& cpuFeatures() noexcept {
  static const CpuFeatures features = readCpuFeatures();
  return features;
}

const Aes256Impl& chosenAes256Impl() noexcept {
  static const Aes256Impl& chosen = chooseAes256Impl(cpuFeatures());
  return chosen;
}

}  // namespace unseal::detail
