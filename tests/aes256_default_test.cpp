// The AES-256 implementation a process starts with, before anything selects
// another: AES-NI exactly when the CPU has the AES instructions and SSE4.1
// (which the AES-NI code also uses). A binary of its own, since the test main
// of the other AES tests switches implementations between repetitions.
#include <gtest/gtest.h>

#include "cipher/aes256.h"

namespace unseal {
namespace {

TEST(Aes256, ProcessStartsOnAesNiExactlyWhenTheCpuHasIt) {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  const bool aesNi = __builtin_cpu_supports("aes") && __builtin_cpu_supports("sse4.1");
#else
  const bool aesNi = false;
#endif
  EXPECT_STREQ(aes256Implementation(), aesNi ? "aes-ni" : "portable");
}

}  // namespace
}  // namespace unseal
