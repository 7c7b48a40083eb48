// The AES-256 implementation a process picks by itself: VAES when the CPU has
// it with AVX and AVX2 and the operating system saves the YMM registers (the
// compiler's feature test for AVX and AVX2 checks that), else AES-NI when the CPU has the
// AES instructions and SSE2, else the bitsliced code (never the portable one).
#include <gtest/gtest.h>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include <string>

#include "cipher/aes256_impl.h"
#include "unseal/aes256.h"

namespace unseal {
namespace {

TEST(Aes256, ProcessPicksTheFastestImplementationTheCpuRuns) {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  const bool aesNi = __builtin_cpu_supports("aes") && __builtin_cpu_supports("sse2");
  // clang 14's feature test does not know "vaes": CPUID leaf 7, ECX bit 9.
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  const bool vaesBit = __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0 && (ecx & (1u << 9)) != 0;
  const bool vaes = aesNi && vaesBit && __builtin_cpu_supports("avx") && __builtin_cpu_supports("avx2");
#else
  const bool aesNi = false, vaes = false;
#endif
  EXPECT_STREQ(aes256Implementation(), vaes ? "vaes" : aesNi ? "aes-ni" : "bitsliced");
  // Every object built without naming an implementation uses that one.
  EXPECT_EQ(&detail::Aes256Internals::implementation(Aes256(std::string(32, 'k'))),
            &detail::chosenAes256Impl());
  EXPECT_STREQ(detail::chosenAes256Impl().name, aes256Implementation());
}

}  // namespace
}  // namespace unseal
