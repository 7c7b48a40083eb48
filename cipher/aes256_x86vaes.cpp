// AES-256 on the 256-bit AES instructions (VAES with AVX2): the runs that
// cipher independent blocks hold two blocks per register, so each
// instruction does two blocks' round. Single blocks and the serial modes
// gain nothing from the width and use the AES-NI code (VEX-encoded here).
//
// Everything is tagged target("avx2,vaes,aes") and runs only once CPUID and
// XGETBV have shown the instructions and the operating system's saving of
// the YMM registers. Exempt from AddressSanitizer for the reason given in
// cipher/aes256_x86.h.
#if defined(__x86_64__) || defined(__i386__)

#include "cipher/aes256_x86.h"

#define UNSEAL_VAES_CODE __attribute__((target("avx2,vaes,aes"), no_sanitize("address")))
#define UNSEAL_VAES_INLINE UNSEAL_VAES_CODE __attribute__((always_inline)) inline

#define UNSEAL_RUN_CODE UNSEAL_VAES_CODE
#include "cipher/aes256_runs.h"

namespace unseal::detail {
namespace {

using x86::XmmCore;

// XmmCore, and the lane hooks on two blocks per register (block 0 in the
// low half). The round keys stay 16 bytes each in memory and are broadcast
// to both halves as they are read.
struct YmmCore : XmmCore {
  using XmmCore::cipher;
  using XmmCore::counters;
  using XmmCore::load;
  using XmmCore::store;

  UNSEAL_VAES_INLINE static void load(const std::uint8_t* p, __m256i& v) {
    v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  }
  UNSEAL_VAES_INLINE static void store(std::uint8_t* p, const __m256i& v) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
  }

  template <std::size_t N>
  UNSEAL_VAES_INLINE static void cipher(const EncryptionKeys& keys, __m256i (&s)[N]) {
    const __m256i first = _mm256_broadcastsi128_si256(keys.k[0]);
    for (auto& x : s) x = _mm256_xor_si256(x, first);
    for (int r = 1; r < 14; ++r) {
      const __m256i k = _mm256_broadcastsi128_si256(keys.k[r]);
      for (auto& x : s) x = _mm256_aesenc_epi128(x, k);
    }
    const __m256i last = _mm256_broadcastsi128_si256(keys.k[14]);
    for (auto& x : s) x = _mm256_aesenclast_epi128(x, last);
  }
  template <std::size_t N>
  UNSEAL_VAES_INLINE static void cipher(const DecryptionKeys& keys, __m256i (&s)[N]) {
    const __m256i first = _mm256_broadcastsi128_si256(keys.k[0]);
    for (auto& x : s) x = _mm256_xor_si256(x, first);
    for (int r = 1; r < 14; ++r) {
      const __m256i k = _mm256_broadcastsi128_si256(keys.k[r]);
      for (auto& x : s) x = _mm256_aesdec_epi128(x, k);
    }
    const __m256i last = _mm256_broadcastsi128_si256(keys.k[14]);
    for (auto& x : s) x = _mm256_aesdeclast_epi128(x, last);
  }

  // Eight registers of two blocks; what is left goes in smaller batches, the
  // last odd block in a 128-bit register.
  template <class Kernel>
  UNSEAL_VAES_INLINE static void inBatches(Kernel& kernel, std::size_t blocks) {
    for (; blocks >= 16; blocks -= 16) kernel.template batch<__m256i, 8>();
    if (blocks & 8) kernel.template batch<__m256i, 4>();
    if (blocks & 4) kernel.template batch<__m256i, 2>();
    if (blocks & 2) kernel.template batch<__m256i, 1>();
    if (blocks & 1) kernel.template batch<__m128i, 1>();
  }

  // (previous's block 1, current's block 0).
  UNSEAL_VAES_INLINE static __m256i preceding(const __m256i& previous, const __m256i& current) {
    return _mm256_permute2x128_si256(previous, current, 0x21);
  }
  UNSEAL_VAES_INLINE static __m128i lastBlock(const __m256i& v) { return _mm256_extracti128_si256(v, 1); }
  UNSEAL_VAES_INLINE static void endingWith(const __m128i& block, __m256i& v) {
    v = _mm256_broadcastsi128_si256(block);
  }

  template <class Counter>
  UNSEAL_VAES_INLINE static void counters(Counter& counter, __m256i& v) {
    const __m128i first = counterBlock(counter);
    v = _mm256_set_m128i(counterBlock(counter), first);
  }

  // The two blocks' chains: with v = d ^ c, block 0 takes chain and block 1
  // takes chain ^ v's block 0; the chain moves on by both halves of v.
  UNSEAL_VAES_INLINE static __m256i pcbcUnchain(const __m256i& d, const __m256i& c, __m128i& chain) {
    const __m256i v = _mm256_xor_si256(d, c);
    const __m256i chains =
        _mm256_xor_si256(_mm256_broadcastsi128_si256(chain), _mm256_permute2x128_si256(v, v, 0x08));
    chain = _mm_xor_si128(chain, _mm_xor_si128(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1)));
    return _mm256_xor_si256(d, chains);
  }

  UNSEAL_VAES_INLINE static void loadWindows(const std::uint8_t* p, __m256i& v) {
    v = _mm256_inserti128_si256(_mm256_castsi128_si256(x86::load(p)), x86::load(p + 1), 1);
  }
  UNSEAL_VAES_INLINE static void firstBytes(const __m256i& v, std::uint8_t* out) {
    out[0] = firstByte(_mm256_castsi256_si128(v));
    out[1] = firstByte(_mm256_extracti128_si256(v, 1));
  }
};

}  // namespace

const Aes256Impl aes256Vaes = {
    "vaes", AesInstructions::vaes, aesNiEncrypt, aesNiDecrypt, aesNiScheduleEnd, ModeRuns<YmmCore>::table(),
    0};

}  // namespace unseal::detail

#endif
