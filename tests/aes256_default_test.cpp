// The AES-256 implementation a CPU gets: the choice as a function of made-up
// feature bits, and this process's own choice against the compiler's view
// of the CPU.
#include <gtest/gtest.h>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif
#if defined(__aarch64__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

#include <string>

#include "cipher/aes256_impl.h"
#include "unseal/aes256.h"

namespace unseal {
namespace {

using detail::AesInstructions;
using detail::CpuFeatures;

// The implementation built for those instructions, else for the next ones
// down: VAES, AES-NI (every CPU with it has SSSE3), SSSE3, none.
const detail::Aes256Impl& builtFor(AesInstructions instructions) {
  for (const detail::Aes256Impl* impl : detail::aes256Impls()) {
    if (impl->needs == instructions) return *impl;
  }
  using enum AesInstructions;
  return builtFor(instructions == vaes ? aesNi : instructions == aesNi ? ssse3 : none);
}

// CPUID leaf 1 ECX: SSSE3 9, AES 25, OSXSAVE 27, AVX 28; EDX: SSE2 26. Leaf 7
// EBX: AVX2 5; ECX: VAES 9. XCR0: x87 1, SSE 2, AVX 4. aarch64 HWCAP: FP 1,
// ASIMD 2, AES 8, PMULL 16, SHA1 32, SHA2 64.
constexpr std::uint32_t kSse2 = 1u << 26, kSsse3 = 1u << 9, kOsXsave = 1u << 27, kAvx = 1u << 28;
constexpr std::uint32_t kAes = kSsse3 | 1u << 25;
constexpr std::uint32_t kAvx2 = 1u << 5, kVaes = 1u << 9;

// Each made-up CPU runs the implementations needing `best` and less (VAES
// implies AES-NI, and AES-NI SSSE3) and is given the one built for `best`.
TEST(Aes256Choice, FollowsTheFeatureBits) {
  using enum AesInstructions;
  const struct {
    const char* cpu;
    CpuFeatures features;
    AesInstructions best;
  } cases[] = {
      {"no features read", {}, none},
      {"x86 without SSSE3", {0, kSse2, 0, 0, 0, 0}, none},
      {"x86 with SSSE3, without AES", {kSsse3 | kOsXsave | kAvx, kSse2, kAvx2, kVaes, 0x7, 0}, ssse3},
      {"AES and SSSE3 without SSE2", {kAes, 0, 0, 0, 0, 0}, none},
      {"AES without AVX", {kAes | kOsXsave, kSse2, kAvx2, kVaes, 0x7, 0}, aesNi},
      {"AVX without OS support for YMM", {kAes | kOsXsave | kAvx, kSse2, kAvx2, kVaes, 0x3, 0}, aesNi},
      {"AVX, XCR0 set, OSXSAVE clear", {kAes | kAvx, kSse2, kAvx2, kVaes, 0x7, 0}, aesNi},
      {"VAES without AVX2", {kAes | kOsXsave | kAvx, kSse2, 0, kVaes, 0x7, 0}, aesNi},
      {"AVX2 without VAES", {kAes | kOsXsave | kAvx, kSse2, kAvx2, 0, 0x7, 0}, aesNi},
      {"VAES", {kAes | kOsXsave | kAvx, kSse2, kAvx2, kVaes, 0x7, 0}, vaes},
      {"VAES, AVX-512 state saved too", {kAes | kOsXsave | kAvx, kSse2, kAvx2, kVaes, 0xe7, 0}, vaes},
      {"ARM without AES", {0, 0, 0, 0, 0, 1 | 2}, none},
      {"ARM with PMULL and SHA but not AES", {0, 0, 0, 0, 0, 1 | 2 | 16 | 32 | 64}, none},
      {"ARM with AES", {0, 0, 0, 0, 0, 1 | 2 | 8 | 16 | 32 | 64}, armv8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cpu);
    EXPECT_EQ(detail::cpuRuns(c.features, ssse3), c.best == ssse3 || c.best == aesNi || c.best == vaes);
    EXPECT_EQ(detail::cpuRuns(c.features, aesNi), c.best == aesNi || c.best == vaes);
    EXPECT_EQ(detail::cpuRuns(c.features, vaes), c.best == vaes);
    EXPECT_EQ(detail::cpuRuns(c.features, armv8), c.best == armv8);
    EXPECT_STREQ(detail::chooseAes256Impl(c.features).name, builtFor(c.best).name);
    // The byte-table reference is not constant time: no CPU gets it.
    EXPECT_NE(&detail::chooseAes256Impl(c.features), &detail::aes256Portable);
  }
}

TEST(Aes256Choice, ProcessPicksWhatTheCompilerSeesInTheCpu) {
  AesInstructions best = AesInstructions::none;
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  // clang 14's feature test does not know "vaes": CPUID leaf 7, ECX bit 9.
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  const bool vaesBit = __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0 && (ecx & kVaes) != 0;
  // The feature test for AVX and AVX2 also checks that the OS saves the YMM registers.
  if (__builtin_cpu_supports("ssse3") && __builtin_cpu_supports("sse2")) best = AesInstructions::ssse3;
  if (__builtin_cpu_supports("aes") && __builtin_cpu_supports("sse2")) {
    const bool vaes = vaesBit && __builtin_cpu_supports("avx") && __builtin_cpu_supports("avx2");
    best = vaes ? AesInstructions::vaes : AesInstructions::aesNi;
  }
#endif
#if defined(__aarch64__)
  if ((getauxval(AT_HWCAP) & HWCAP_AES) != 0) best = AesInstructions::armv8;
#endif
  EXPECT_STREQ(aes256Implementation(), builtFor(best).name);
  RecordProperty("implementation", aes256Implementation());  // for the reports of scripts/aarch64.sh
  // Every object built without naming an implementation uses that one.
  EXPECT_EQ(&detail::Aes256Internals::implementation(Aes256(std::string(32, 'k'))),
            &detail::chosenAes256Impl());
}

}  // namespace
}  // namespace unseal
