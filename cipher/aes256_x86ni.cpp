// AES-256 on the x86 AES instructions (AES-NI), one block per register.
//
// A single block derives its round keys on the fly in registers, as the
// portable code does in memory: encryption steps the schedule forwards from
// the installed key, decryption backwards from the schedule's end. Those
// functions store no round key and make no call, since across a call the
// compiler would save live key registers on the stack, where nothing wipes
// them (tests/wipe_test.cpp scans the stack after every operation for round
// keys). A run derives the round keys once, into memory it wipes (see
// cipher/aes256_x86.h and cipher/aes256_runs.h).
#if defined(__x86_64__) || defined(__i386__)

#include "cipher/aes256_x86.h"

#define UNSEAL_RUN_CODE UNSEAL_AESNI_CODE
#include "cipher/aes256_runs.h"

namespace unseal::detail {
namespace {

using namespace x86;

// Encrypts one block in place with one pass of the key schedule, its steps
// overlapping the rounds.
template <int Rc>
UNSEAL_AESNI_INLINE void encryptTwoRounds(__m128i& s, __m128i& k0, __m128i& k1) {
  forwardStep<Rc>(k0, k1);
  s = _mm_aesenc_si128(s, k0);
  s = _mm_aesenc_si128(s, k1);
}

template <int Rc>
UNSEAL_AESNI_INLINE void decryptTwoRounds(__m128i& s, __m128i& k0, __m128i& k1) {
  backwardStep<Rc>(k0, k1);
  s = _mm_aesdec_si128(s, _mm_aesimc_si128(k1));
  s = _mm_aesdec_si128(s, _mm_aesimc_si128(k0));
}

}  // namespace

UNSEAL_AESNI_CODE void aesNiEncrypt(const std::uint8_t* key, std::uint8_t* block) noexcept {
  __m128i k0 = load(key), k1 = load(key + 16);
  __m128i s = _mm_aesenc_si128(_mm_xor_si128(load(block), k0), k1);
  encryptTwoRounds<0x01>(s, k0, k1);
  encryptTwoRounds<0x02>(s, k0, k1);
  encryptTwoRounds<0x04>(s, k0, k1);
  encryptTwoRounds<0x08>(s, k0, k1);
  encryptTwoRounds<0x10>(s, k0, k1);
  encryptTwoRounds<0x20>(s, k0, k1);
  k0 = _mm_xor_si128(prefixXor(k0), rotSubBroadcast<0x40>(k1));
  store(block, _mm_aesenclast_si128(s, k0));
}

UNSEAL_AESNI_CODE void aesNiDecrypt(const std::uint8_t* scheduleEnd, std::uint8_t* block) noexcept {
  __m128i k0 = load(scheduleEnd), k1 = load(scheduleEnd + 16);
  __m128i s = _mm_xor_si128(load(block), k0);
  decryptTwoRounds<0x40>(s, k0, k1);
  decryptTwoRounds<0x20>(s, k0, k1);
  decryptTwoRounds<0x10>(s, k0, k1);
  decryptTwoRounds<0x08>(s, k0, k1);
  decryptTwoRounds<0x04>(s, k0, k1);
  decryptTwoRounds<0x02>(s, k0, k1);
  backwardStep<0x01>(k0, k1);
  s = _mm_aesdec_si128(s, _mm_aesimc_si128(k1));
  store(block, _mm_aesdeclast_si128(s, k0));
}

// key and out may be the same bytes: both halves are loaded before any store.
UNSEAL_AESNI_CODE void aesNiScheduleEnd(const std::uint8_t* key, std::uint8_t* out) noexcept {
  __m128i k0 = load(key), k1 = load(key + 16);
  forwardStep<0x01>(k0, k1);
  forwardStep<0x02>(k0, k1);
  forwardStep<0x04>(k0, k1);
  forwardStep<0x08>(k0, k1);
  forwardStep<0x10>(k0, k1);
  forwardStep<0x20>(k0, k1);
  forwardStep<0x40>(k0, k1);
  store(out, k0);
  store(out + 16, k1);
}

const Aes256Impl aes256AesNi = {"aes-ni",
                                AesInstructions::aesNi,
                                aesNiEncrypt,
                                aesNiDecrypt,
                                aesNiScheduleEnd,
                                ModeRuns<XmmCore>::table(),
                                0};

}  // namespace unseal::detail

#endif
