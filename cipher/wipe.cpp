// clearVectorRegisters (unseal/wipe.h). Each asm statement names the registers
// it zeroes as clobbered, so the compiler keeps nothing there across it; all
// of them are caller-saved, so a call costs the caller nothing more. The
// zeroing XORs of a register with itself are recognised by the CPU and cost
// no execution, unlike vzeroall, which some CPUs run as a microcode sequence.
#include "unseal/wipe.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>

#include <atomic>
#endif

namespace unseal {

#if defined(__x86_64__) || defined(__i386__)

namespace {

// The vector registers a process can hold data in: none (no SSE), xmm, ymm
// (AVX), or zmm0-31 (AVX-512, 64-bit mode), whose zmm16-31 glibc's own memcpy
// and memset use on such CPUs, so a copy of a key or a block may sit there.
// (32-bit code reaches xmm0-7 only, and no zmm16-31.)
enum Registers : int { kUnknown, kNone, kXmm, kYmm, kZmm };

// CPUID leaf 1: EDX bit 25 SSE; ECX bit 27 OSXSAVE, bit 28 AVX; leaf 7 EBX
// bit 16 AVX-512F. XGETBV's XCR0: bits 1 and 2, the operating system saves the
// XMM and YMM registers; bits 5 to 7, the AVX-512 state.
__attribute__((noinline, cold)) Registers detectRegisters() noexcept {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0 || (edx & (1u << 25)) == 0) return kNone;
  const unsigned avx = (1u << 27) | (1u << 28);
  if ((ecx & avx) != avx) return kXmm;
  unsigned xcr0 = 0, xcr0High = 0;
  asm volatile("xgetbv" : "=a"(xcr0), "=d"(xcr0High) : "c"(0));
  if ((xcr0 & 6u) != 6u) return kXmm;
#if defined(__x86_64__)
  if ((xcr0 & 0xe6u) == 0xe6u && __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0 &&
      (ebx & (1u << 16)) != 0) {
    return kZmm;
  }
#endif
  return kYmm;
}

// Found at the first call, then kept. Not a function's static: its guard
// calls into the C++ runtime, and a first call must run no other code before
// the registers are clear. Two threads finding it at once find the same.
std::atomic<Registers> registers{kUnknown};

Registers vectorRegisters() noexcept {
  Registers found = registers.load(std::memory_order_relaxed);
  if (found == kUnknown) {
    found = detectRegisters();
    registers.store(found, std::memory_order_relaxed);
  }
  return found;
}

// A VEX- or EVEX-encoded XOR of an xmm register zeroes the whole register
// (ymm, zmm). Registers can be named as clobbered only in code built for the
// instruction set that has them, hence the target of each function.
#define UNSEAL_ZERO_VEX(n) "vpxor %%xmm" #n ", %%xmm" #n ", %%xmm" #n "\n\t"
#define UNSEAL_ZERO_SSE(n) "xorps %%xmm" #n ", %%xmm" #n "\n\t"
#define UNSEAL_ZERO_EVEX(n) "vpxord %%xmm" #n ", %%xmm" #n ", %%xmm" #n "\n\t"
#define UNSEAL_8(zero, a, b, c, d, e, f, g, h) zero(a) zero(b) zero(c) zero(d) zero(e) zero(f) zero(g) zero(h)
#define UNSEAL_XMM_0_TO_7 "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7"

#if defined(__x86_64__)
#define UNSEAL_ZERO_FIRST(zero) \
  UNSEAL_8(zero, 0, 1, 2, 3, 4, 5, 6, 7) UNSEAL_8(zero, 8, 9, 10, 11, 12, 13, 14, 15)
#define UNSEAL_FIRST UNSEAL_XMM_0_TO_7, "xmm8", "xmm9", "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15"

__attribute__((target("avx512f"))) void clearZmm() noexcept {
  asm volatile(UNSEAL_ZERO_FIRST(UNSEAL_ZERO_VEX) UNSEAL_8(UNSEAL_ZERO_EVEX, 16, 17, 18, 19, 20, 21, 22, 23)
                   UNSEAL_8(UNSEAL_ZERO_EVEX, 24, 25, 26, 27, 28, 29, 30, 31)::
                       : UNSEAL_FIRST, "xmm16", "xmm17", "xmm18", "xmm19", "xmm20", "xmm21", "xmm22", "xmm23",
                         "xmm24", "xmm25", "xmm26", "xmm27", "xmm28", "xmm29", "xmm30", "xmm31");
}
#else  // 32-bit code has xmm0-7 only
#define UNSEAL_ZERO_FIRST(zero) UNSEAL_8(zero, 0, 1, 2, 3, 4, 5, 6, 7)
#define UNSEAL_FIRST UNSEAL_XMM_0_TO_7
#endif

__attribute__((target("avx"))) void clearYmm() noexcept {
  asm volatile(UNSEAL_ZERO_FIRST(UNSEAL_ZERO_VEX)::: UNSEAL_FIRST);
}

__attribute__((target("sse"))) void clearXmm() noexcept {
  asm volatile(UNSEAL_ZERO_FIRST(UNSEAL_ZERO_SSE)::: UNSEAL_FIRST);
}

}  // namespace

void clearVectorRegisters() noexcept {
  switch (vectorRegisters()) {
#if defined(__x86_64__)
    case kZmm: return clearZmm();
#else
    case kZmm:
#endif
    case kYmm: return clearYmm();
    case kXmm: return clearXmm();
    default: return;
  }
}

#elif defined(__aarch64__)

// v8-v15 are left alone: their low halves are the caller's, restored by any
// function that used them, which zeroes their high halves.
void clearVectorRegisters() noexcept {
  asm volatile(
      "movi v0.16b, #0\n\tmovi v1.16b, #0\n\tmovi v2.16b, #0\n\tmovi v3.16b, #0\n\t"
      "movi v4.16b, #0\n\tmovi v5.16b, #0\n\tmovi v6.16b, #0\n\tmovi v7.16b, #0\n\t"
      "movi v16.16b, #0\n\tmovi v17.16b, #0\n\tmovi v18.16b, #0\n\tmovi v19.16b, #0\n\t"
      "movi v20.16b, #0\n\tmovi v21.16b, #0\n\tmovi v22.16b, #0\n\tmovi v23.16b, #0\n\t"
      "movi v24.16b, #0\n\tmovi v25.16b, #0\n\tmovi v26.16b, #0\n\tmovi v27.16b, #0\n\t"
      "movi v28.16b, #0\n\tmovi v29.16b, #0\n\tmovi v30.16b, #0\n\tmovi v31.16b, #0" ::
          : "v0", "v1", "v2", "v3", "v4", "v5", "v6", "v7", "v16", "v17", "v18", "v19", "v20", "v21", "v22",
            "v23", "v24", "v25", "v26", "v27", "v28", "v29", "v30", "v31");
}

#else

void clearVectorRegisters() noexcept {}

#endif

}  // namespace unseal
