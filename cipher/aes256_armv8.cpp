// AES-256 on the ARMv8 cryptography extension (AESE, AESD, AESMC, AESIMC),
// one block per register.
//
// AESE XORs its round key in first and leaves MixColumns to a second
// instruction (AESMC), where x86's AESENC does MixColumns first and the key
// last: a round here is AESMC(AESE(s, k)), and the cipher ends with
// AESE(s, k13) ^ k14. Cores fuse AESE with the AESMC after it. Decryption is
// the same shape with AESD and AESIMC and the equivalent inverse cipher's
// round keys.
//
// The key schedule has no instruction of its own: SubWord is AESE with a
// zero key on the word broadcast to all four columns, which ShiftRows leaves
// as they are. Nothing here looks anything up by a secret, so the whole
// implementation runs in constant time.
//
// A single block derives its round keys on the fly in registers, stores
// none and makes no call (see cipher/aes256_x86ni.cpp for why); a run
// derives them once into memory it wipes (cipher/aes256_runs.h).
//
// Everything is tagged with the AES target extension, so the rest of the
// library builds for any aarch64; it runs only once getauxval(AT_HWCAP) has
// shown HWCAP_AES.
#if defined(__aarch64__)

// clang's arm_neon.h (14) declares the AES intrinsics only where the whole
// file is compiled for AES; the functions here that use them are tagged.
#if defined(__clang__) && !defined(__ARM_FEATURE_AES)
#define __ARM_FEATURE_AES 1
#endif
#include <arm_neon.h>

#include <cstddef>
#include <cstdint>

#include "cipher/aes256_impl.h"
#include "unseal/wipe.h"

// GCC's arm_neon.h declares the AES intrinsics under "+crypto" (AES and SHA-2).
#if defined(__clang__)
#define UNSEAL_ARMV8_CODE __attribute__((target("aes"), no_sanitize("address")))
#else
#define UNSEAL_ARMV8_CODE __attribute__((target("+crypto"), no_sanitize("address")))
#endif
#define UNSEAL_ARMV8_INLINE UNSEAL_ARMV8_CODE __attribute__((always_inline)) inline

#define UNSEAL_RUN_CODE UNSEAL_ARMV8_CODE
#include "cipher/aes256_runs.h"

namespace unseal::detail {
namespace {

UNSEAL_ARMV8_INLINE uint8x16_t load(const std::uint8_t* p) { return vld1q_u8(p); }
UNSEAL_ARMV8_INLINE void store(std::uint8_t* p, uint8x16_t v) { vst1q_u8(p, v); }

UNSEAL_ARMV8_INLINE uint8x16_t bytes(uint32x4_t words) { return vreinterpretq_u8_u32(words); }
UNSEAL_ARMV8_INLINE uint32x4_t words(uint8x16_t bytes) { return vreinterpretq_u32_u8(bytes); }

// x -> (w0, w0^w1, w0^w1^w2, w0^w1^w2^w3): the running XOR of a schedule half.
UNSEAL_ARMV8_INLINE uint8x16_t prefixXor(uint8x16_t x) {
  const uint8x16_t zero = vdupq_n_u8(0);
  x = veorq_u8(x, vextq_u8(zero, x, 12));  // (0, w0, w1, w2)
  return veorq_u8(x, vextq_u8(zero, x, 8));
}

// The inverse of prefixXor: each word XOR the word below it.
UNSEAL_ARMV8_INLINE uint8x16_t unprefixXor(uint8x16_t x) {
  return veorq_u8(x, vextq_u8(vdupq_n_u8(0), x, 12));
}

// SubWord(last word of k), broadcast to all four words.
UNSEAL_ARMV8_INLINE uint8x16_t subBroadcast(uint8x16_t k) {
  return vaeseq_u8(bytes(vdupq_laneq_u32(words(k), 3)), vdupq_n_u8(0));
}

// SubWord(RotWord(last word of k)) ^ rc, broadcast. RotWord moves byte 1 to
// byte 0: a word rotated right by 8 bits, the words being little-endian.
template <std::uint32_t Rc>
UNSEAL_ARMV8_INLINE uint8x16_t rotSubBroadcast(uint8x16_t k) {
  const uint32x4_t sub = words(subBroadcast(k));
  const uint32x4_t rotated = vorrq_u32(vshrq_n_u32(sub, 8), vshlq_n_u32(sub, 24));
  return bytes(veorq_u32(rotated, vdupq_n_u32(Rc)));
}

// One forward key-schedule step: (w[8j..8j+7]) -> (w[8j+8..8j+15]).
template <std::uint32_t Rc>
UNSEAL_ARMV8_INLINE void forwardStep(uint8x16_t& k0, uint8x16_t& k1) {
  k0 = veorq_u8(prefixXor(k0), rotSubBroadcast<Rc>(k1));
  k1 = veorq_u8(prefixXor(k1), subBroadcast(k0));
}

// Its inverse: (w[8j+8..8j+15]) -> (w[8j..8j+7]).
template <std::uint32_t Rc>
UNSEAL_ARMV8_INLINE void backwardStep(uint8x16_t& k0, uint8x16_t& k1) {
  k1 = unprefixXor(veorq_u8(k1, subBroadcast(k0)));
  k0 = unprefixXor(veorq_u8(k0, rotSubBroadcast<Rc>(k1)));
}

UNSEAL_ARMV8_INLINE uint8x16_t encryptRound(uint8x16_t s, uint8x16_t k) {
  return vaesmcq_u8(vaeseq_u8(s, k));
}
UNSEAL_ARMV8_INLINE uint8x16_t decryptRound(uint8x16_t s, uint8x16_t k) {
  return vaesimcq_u8(vaesdq_u8(s, k));
}

template <std::uint32_t Rc>
UNSEAL_ARMV8_INLINE void encryptTwoRounds(uint8x16_t& s, uint8x16_t& k0, uint8x16_t& k1) {
  forwardStep<Rc>(k0, k1);
  s = encryptRound(s, k0);
  s = encryptRound(s, k1);
}

template <std::uint32_t Rc>
UNSEAL_ARMV8_INLINE void decryptTwoRounds(uint8x16_t& s, uint8x16_t& k0, uint8x16_t& k1) {
  backwardStep<Rc>(k0, k1);
  s = decryptRound(s, vaesimcq_u8(k1));
  s = decryptRound(s, vaesimcq_u8(k0));
}

UNSEAL_ARMV8_CODE void armv8Encrypt(const std::uint8_t* key, std::uint8_t* block) noexcept {
  uint8x16_t k0 = load(key), k1 = load(key + 16);
  uint8x16_t s = encryptRound(encryptRound(load(block), k0), k1);
  encryptTwoRounds<0x01>(s, k0, k1);
  encryptTwoRounds<0x02>(s, k0, k1);
  encryptTwoRounds<0x04>(s, k0, k1);
  encryptTwoRounds<0x08>(s, k0, k1);
  encryptTwoRounds<0x10>(s, k0, k1);
  forwardStep<0x20>(k0, k1);
  s = vaeseq_u8(encryptRound(s, k0), k1);
  k0 = veorq_u8(prefixXor(k0), rotSubBroadcast<0x40>(k1));
  store(block, veorq_u8(s, k0));
}

UNSEAL_ARMV8_CODE void armv8Decrypt(const std::uint8_t* scheduleEnd, std::uint8_t* block) noexcept {
  uint8x16_t k0 = load(scheduleEnd), k1 = load(scheduleEnd + 16);
  uint8x16_t s = decryptRound(load(block), k0);
  decryptTwoRounds<0x40>(s, k0, k1);
  decryptTwoRounds<0x20>(s, k0, k1);
  decryptTwoRounds<0x10>(s, k0, k1);
  decryptTwoRounds<0x08>(s, k0, k1);
  decryptTwoRounds<0x04>(s, k0, k1);
  decryptTwoRounds<0x02>(s, k0, k1);
  backwardStep<0x01>(k0, k1);
  s = vaesdq_u8(s, vaesimcq_u8(k1));
  store(block, veorq_u8(s, k0));
}

// key and out may be the same bytes: both halves are loaded before any store.
UNSEAL_ARMV8_CODE void armv8ScheduleEnd(const std::uint8_t* key, std::uint8_t* out) noexcept {
  uint8x16_t k0 = load(key), k1 = load(key + 16);
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

namespace armv8 {

// The 15 round keys of one run, in the order the cipher takes them, wiped
// when the run ends.
struct RoundKeys {
  uint8x16_t k[15];
  ~RoundKeys() { secureWipe(k, sizeof k); }
};

// Round keys 0 to 14, from the installed key.
struct EncryptionKeys : RoundKeys {
  UNSEAL_ARMV8_INLINE explicit EncryptionKeys(const std::uint8_t* key) {
    uint8x16_t k0 = load(key), k1 = load(key + 16);
    k[0] = k0, k[1] = k1;
    next<0x01>(k0, k1, 2);
    next<0x02>(k0, k1, 4);
    next<0x04>(k0, k1, 6);
    next<0x08>(k0, k1, 8);
    next<0x10>(k0, k1, 10);
    next<0x20>(k0, k1, 12);
    k[14] = veorq_u8(prefixXor(k0), rotSubBroadcast<0x40>(k1));
  }
  template <std::uint32_t Rc>
  UNSEAL_ARMV8_INLINE void next(uint8x16_t& k0, uint8x16_t& k1, int at) {
    forwardStep<Rc>(k0, k1);
    k[at] = k0, k[at + 1] = k1;
  }
};

// Round keys 14 down to 0, from the schedule's end, those in between through
// InvMixColumns (the equivalent inverse cipher).
struct DecryptionKeys : RoundKeys {
  UNSEAL_ARMV8_INLINE explicit DecryptionKeys(const std::uint8_t* scheduleEnd) {
    uint8x16_t k0 = load(scheduleEnd), k1 = load(scheduleEnd + 16);
    k[0] = k0;
    previous<0x40>(k0, k1, 1);
    previous<0x20>(k0, k1, 3);
    previous<0x10>(k0, k1, 5);
    previous<0x08>(k0, k1, 7);
    previous<0x04>(k0, k1, 9);
    previous<0x02>(k0, k1, 11);
    backwardStep<0x01>(k0, k1);
    k[13] = vaesimcq_u8(k1), k[14] = k0;
  }
  template <std::uint32_t Rc>
  UNSEAL_ARMV8_INLINE void previous(uint8x16_t& k0, uint8x16_t& k1, int at) {
    backwardStep<Rc>(k0, k1);
    k[at] = vaesimcq_u8(k1), k[at + 1] = vaesimcq_u8(k0);
  }
};

}  // namespace armv8

// The run core (see cipher/aes256_runs.h): one block per register; the
// whitening is the default (none: AESE takes round key 0 itself), and the
// mask of the serial modes rides on the last round key.
struct Armv8Core {
  using Block = uint8x16_t;
  using EncryptionKeys = armv8::EncryptionKeys;
  using DecryptionKeys = armv8::DecryptionKeys;

  UNSEAL_ARMV8_INLINE static void load(const std::uint8_t* p, uint8x16_t& v) { v = vld1q_u8(p); }
  UNSEAL_ARMV8_INLINE static void store(std::uint8_t* p, const uint8x16_t& v) { vst1q_u8(p, v); }

  template <std::size_t N>
  UNSEAL_ARMV8_INLINE static void cipher(const EncryptionKeys& keys, uint8x16_t (&s)[N]) {
    for (int r = 0; r < 13; ++r) {
      for (auto& x : s) x = encryptRound(x, keys.k[r]);
    }
    for (auto& x : s) x = veorq_u8(vaeseq_u8(x, keys.k[13]), keys.k[14]);
  }
  template <std::size_t N>
  UNSEAL_ARMV8_INLINE static void cipher(const DecryptionKeys& keys, uint8x16_t (&s)[N]) {
    for (int r = 0; r < 13; ++r) {
      for (auto& x : s) x = decryptRound(x, keys.k[r]);
    }
    for (auto& x : s) x = veorq_u8(vaesdq_u8(x, keys.k[13]), keys.k[14]);
  }
  UNSEAL_ARMV8_INLINE static uint8x16_t finish(const EncryptionKeys& keys, uint8x16_t state,
                                               uint8x16_t mask) {
    for (int r = 0; r < 13; ++r) state = encryptRound(state, keys.k[r]);
    return veorq_u8(vaeseq_u8(state, keys.k[13]), veorq_u8(keys.k[14], mask));
  }

  // Eight independent chains keep the AES unit busy, as on x86.
  template <class Kernel>
  UNSEAL_ARMV8_INLINE static void inBatches(Kernel& kernel, std::size_t blocks) {
    for (; blocks >= 8; blocks -= 8) kernel.template batch<uint8x16_t, 8>();
    if (blocks & 4) kernel.template batch<uint8x16_t, 4>();
    if (blocks & 2) kernel.template batch<uint8x16_t, 2>();
    if (blocks & 1) kernel.template batch<uint8x16_t, 1>();
  }

  template <class Counter>
  UNSEAL_ARMV8_INLINE static void counters(Counter& counter, uint8x16_t& v) {
    v = vreinterpretq_u8_u64(vcombine_u64(vcreate_u64(counter.low), vcreate_u64(counter.high)));
    counter.step();
  }
  UNSEAL_ARMV8_INLINE static std::uint8_t firstByte(const uint8x16_t& v) { return vgetq_lane_u8(v, 0); }
  // Bytes 1..15 move to 0..14 and the new byte comes in at 15.
  UNSEAL_ARMV8_INLINE static uint8x16_t shiftIn(const uint8x16_t& v, std::uint8_t byte) {
    return vextq_u8(v, vdupq_n_u8(byte), 1);
  }
};

}  // namespace

const Aes256Impl aes256Armv8 = {"armv8",
                                AesInstructions::armv8,
                                armv8Encrypt,
                                armv8Decrypt,
                                armv8ScheduleEnd,
                                ModeRuns<Armv8Core>::table(),
                                0};

}  // namespace unseal::detail

#endif
