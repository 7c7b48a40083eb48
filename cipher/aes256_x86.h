// Internal: what the two x86 implementations share. The AES-256 key schedule
// on the AES instructions (AES-NI), the round keys of one run, and XmmCore, the
// run core with one block per 128-bit register (see cipher/aes256_runs.h);
// aes256_x86vaes.cpp builds its two-block core on it. The single-block
// operations live in aes256_x86ni.cpp and serve both implementations.
//
// Everything is tagged target("aes,sse2"), so the rest of the library builds
// without special flags; it runs only once the CPUID bits were seen. None of
// the instructions used needs more than AES and SSE2. AES-NI runs in constant
// time, unlike the portable table lookups.
//
// The code is exempt from AddressSanitizer: its instrumentation keeps lanes in
// memory and takes registers for its checks, and the compiler then spills
// round keys to the stack. The sanitized build thus runs the same code as the
// others (the tests run every caller on the instrumented portable code as
// well). Being exempt, it works on raw bytes, not on the instrumented Block
// accessors.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "cipher/aes256_impl.h"
#include "unseal/wipe.h"

#define UNSEAL_AESNI_CODE __attribute__((target("aes,sse2"), no_sanitize("address")))
#define UNSEAL_AESNI_INLINE UNSEAL_AESNI_CODE __attribute__((always_inline)) inline

namespace unseal::detail {

// The single-block entries of aes256AesNi, shared by aes256Vaes.
void aesNiEncrypt(const std::uint8_t* key, std::uint8_t* block) noexcept;
void aesNiDecrypt(const std::uint8_t* scheduleEnd, std::uint8_t* block) noexcept;
void aesNiScheduleEnd(const std::uint8_t* key, std::uint8_t* out) noexcept;

namespace x86 {

UNSEAL_AESNI_INLINE __m128i load(const std::uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
UNSEAL_AESNI_INLINE void store(std::uint8_t* p, __m128i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

// x -> (w0, w0^w1, w0^w1^w2, w0^w1^w2^w3): the running XOR of a schedule half,
// in two shift-and-XOR steps (by one word, then by two) rather than three, as
// the schedule's dependency chain bounds the speed of every block operation.
UNSEAL_AESNI_INLINE __m128i prefixXor(__m128i x) {
  x = _mm_xor_si128(x, _mm_slli_si128(x, 4));
  return _mm_xor_si128(x, _mm_slli_si128(x, 8));
}

// The inverse of prefixXor: each word XOR the word below it.
UNSEAL_AESNI_INLINE __m128i unprefixXor(__m128i x) { return _mm_xor_si128(x, _mm_slli_si128(x, 4)); }

// SubWord(RotWord(last word of k)) ^ rc, broadcast to all four words.
template <int Rc>
UNSEAL_AESNI_INLINE __m128i rotSubBroadcast(__m128i k) {
  return _mm_shuffle_epi32(_mm_aeskeygenassist_si128(k, Rc), 0xff);
}

// SubWord(last word of k), broadcast.
UNSEAL_AESNI_INLINE __m128i subBroadcast(__m128i k) {
  return _mm_shuffle_epi32(_mm_aeskeygenassist_si128(k, 0), 0xaa);
}

// One forward key-schedule step: (w[8j..8j+7]) -> (w[8j+8..8j+15]).
template <int Rc>
UNSEAL_AESNI_INLINE void forwardStep(__m128i& k0, __m128i& k1) {
  k0 = _mm_xor_si128(prefixXor(k0), rotSubBroadcast<Rc>(k1));
  k1 = _mm_xor_si128(prefixXor(k1), subBroadcast(k0));
}

// Its inverse: (w[8j+8..8j+15]) -> (w[8j..8j+7]).
template <int Rc>
UNSEAL_AESNI_INLINE void backwardStep(__m128i& k0, __m128i& k1) {
  k1 = unprefixXor(_mm_xor_si128(k1, subBroadcast(k0)));
  k0 = unprefixXor(_mm_xor_si128(k0, rotSubBroadcast<Rc>(k1)));
}

// The 15 round keys of one run, in the order the cipher takes them; they
// stay in memory (vector instructions read them from there) and are wiped
// when the run ends.
struct RoundKeys {
  __m128i k[15];
  ~RoundKeys() { secureWipe(k, sizeof k); }
};

// Round keys 0 to 14, from the installed key.
struct EncryptionKeys : RoundKeys {
  UNSEAL_AESNI_INLINE explicit EncryptionKeys(const std::uint8_t* key) {
    __m128i k0 = load(key), k1 = load(key + 16);
    k[0] = k0, k[1] = k1;
    next<0x01>(k0, k1, 2);
    next<0x02>(k0, k1, 4);
    next<0x04>(k0, k1, 6);
    next<0x08>(k0, k1, 8);
    next<0x10>(k0, k1, 10);
    next<0x20>(k0, k1, 12);
    k[14] = _mm_xor_si128(prefixXor(k0), rotSubBroadcast<0x40>(k1));
  }
  template <int Rc>
  UNSEAL_AESNI_INLINE void next(__m128i& k0, __m128i& k1, int at) {
    forwardStep<Rc>(k0, k1);
    k[at] = k0, k[at + 1] = k1;
  }
};

// Round keys 14 down to 0, from the schedule's end; aesdec wants those in
// between in the form of the equivalent inverse cipher, hence aesimc.
struct DecryptionKeys : RoundKeys {
  UNSEAL_AESNI_INLINE explicit DecryptionKeys(const std::uint8_t* scheduleEnd) {
    __m128i k0 = load(scheduleEnd), k1 = load(scheduleEnd + 16);
    k[0] = k0;
    previous<0x40>(k0, k1, 1);
    previous<0x20>(k0, k1, 3);
    previous<0x10>(k0, k1, 5);
    previous<0x08>(k0, k1, 7);
    previous<0x04>(k0, k1, 9);
    previous<0x02>(k0, k1, 11);
    backwardStep<0x01>(k0, k1);
    k[13] = _mm_aesimc_si128(k1), k[14] = k0;
  }
  template <int Rc>
  UNSEAL_AESNI_INLINE void previous(__m128i& k0, __m128i& k1, int at) {
    backwardStep<Rc>(k0, k1);
    k[at] = _mm_aesimc_si128(k1), k[at + 1] = _mm_aesimc_si128(k0);
  }
};

// The run core with one block per register. The lane hooks are the
// defaults; the CTR counter and CFB8's shift register stay in registers.
struct XmmCore {
  using Block = __m128i;
  using EncryptionKeys = x86::EncryptionKeys;
  using DecryptionKeys = x86::DecryptionKeys;

  UNSEAL_AESNI_INLINE static void load(const std::uint8_t* p, __m128i& v) { v = x86::load(p); }
  UNSEAL_AESNI_INLINE static void store(std::uint8_t* p, const __m128i& v) { x86::store(p, v); }

  template <std::size_t N>
  UNSEAL_AESNI_INLINE static void cipher(const EncryptionKeys& keys, __m128i (&s)[N]) {
    for (auto& x : s) x = _mm_xor_si128(x, keys.k[0]);
    for (int r = 1; r < 14; ++r) {
      for (auto& x : s) x = _mm_aesenc_si128(x, keys.k[r]);
    }
    for (auto& x : s) x = _mm_aesenclast_si128(x, keys.k[14]);
  }
  template <std::size_t N>
  UNSEAL_AESNI_INLINE static void cipher(const DecryptionKeys& keys, __m128i (&s)[N]) {
    for (auto& x : s) x = _mm_xor_si128(x, keys.k[0]);
    for (int r = 1; r < 14; ++r) {
      for (auto& x : s) x = _mm_aesdec_si128(x, keys.k[r]);
    }
    for (auto& x : s) x = _mm_aesdeclast_si128(x, keys.k[14]);
  }
  UNSEAL_AESNI_INLINE static __m128i whiten(const EncryptionKeys& keys, __m128i block) {
    return _mm_xor_si128(block, keys.k[0]);
  }
  // aesenclast XORs its key in last, so the mask rides on it off the state's path.
  UNSEAL_AESNI_INLINE static __m128i finish(const EncryptionKeys& keys, __m128i state, __m128i mask) {
    for (int r = 1; r < 14; ++r) state = _mm_aesenc_si128(state, keys.k[r]);
    return _mm_aesenclast_si128(state, _mm_xor_si128(keys.k[14], mask));
  }

  // With eight lanes the independent aesenc chains fill the AES unit's
  // pipeline, where a single block waits on each round's latency.
  template <class Kernel>
  UNSEAL_AESNI_INLINE static void inBatches(Kernel& kernel, std::size_t blocks) {
    for (; blocks >= 8; blocks -= 8) kernel.template batch<__m128i, 8>();
    if (blocks & 4) kernel.template batch<__m128i, 4>();
    if (blocks & 2) kernel.template batch<__m128i, 2>();
    if (blocks & 1) kernel.template batch<__m128i, 1>();
  }

  template <class Counter>
  UNSEAL_AESNI_INLINE static __m128i counterBlock(Counter& counter) {
    const __m128i block =
        _mm_set_epi64x(static_cast<long long>(counter.high), static_cast<long long>(counter.low));
    counter.step();
    return block;
  }
  template <class Counter>
  UNSEAL_AESNI_INLINE static void counters(Counter& counter, __m128i& v) {
    v = counterBlock(counter);
  }

  UNSEAL_AESNI_INLINE static std::uint8_t firstByte(const __m128i& v) {
    return static_cast<std::uint8_t>(_mm_cvtsi128_si32(v));
  }
  // Bytes 1..15 move to 0..14 and the new byte comes in at 15.
  UNSEAL_AESNI_INLINE static __m128i shiftIn(const __m128i& v, std::uint8_t byte) {
    return _mm_or_si128(_mm_srli_si128(v, 1), _mm_slli_si128(_mm_cvtsi32_si128(byte), 15));
  }
};

}  // namespace x86
}  // namespace unseal::detail
