// AES-256 on the x86 AES instructions (AES-NI), with the key schedule derived
// on the fly in registers, as the portable code does in memory: encryption
// steps the schedule forwards from the installed key, decryption backwards
// from the schedule's end. No round key is ever stored: the work is done by
// cores on raw bytes that keep every key in registers and make no call, since
// across a call the compiler would save live key registers on the stack,
// where nothing wipes them (tests/wipe_test.cpp scans the stack after every
// operation for round keys).
//
// Every function here is tagged target("aes,sse4.1") so the rest of the
// library builds without special flags; it is only ever called after
// aes256HardwareAvailable() has seen the CPUID bits (see aes256.cpp). AES-NI
// runs in constant time, unlike the portable table lookups.
//
// The cores are exempt from AddressSanitizer: its instrumentation keeps the
// eight lanes in memory and takes registers for its checks, and the compiler
// then spills round keys to the stack. The sanitized build thus runs the same
// register-only code as the others (the tests run every caller on the
// instrumented portable code as well). Being exempt, they cannot inline the
// instrumented Block accessors, hence the byte pointers.
#include "cipher/aes256_impl.h"

#if defined(__x86_64__) || defined(__i386__)

#include <cpuid.h>
#include <immintrin.h>

#define UNSEAL_AESNI_TARGET __attribute__((target("aes,sse4.1")))
#define UNSEAL_AESNI_CORE UNSEAL_AESNI_TARGET __attribute__((no_sanitize("address")))
#define UNSEAL_AESNI UNSEAL_AESNI_CORE __attribute__((always_inline)) inline

namespace unseal::detail {
namespace {

// x -> (w0, w0^w1, w0^w1^w2, w0^w1^w2^w3): the running XOR of a schedule half,
// in two shift-and-XOR steps (by one word, then by two) rather than three, as
// the schedule's dependency chain bounds the speed of every block operation.
UNSEAL_AESNI __m128i prefixXor(__m128i x) {
  x = _mm_xor_si128(x, _mm_slli_si128(x, 4));
  return _mm_xor_si128(x, _mm_slli_si128(x, 8));
}

// The inverse of prefixXor: each word XOR the word below it.
UNSEAL_AESNI __m128i unprefixXor(__m128i x) { return _mm_xor_si128(x, _mm_slli_si128(x, 4)); }

// SubWord(RotWord(last word of k)) ^ rc, broadcast to all four words.
template <int Rc>
UNSEAL_AESNI __m128i rotSubBroadcast(__m128i k) {
  return _mm_shuffle_epi32(_mm_aeskeygenassist_si128(k, Rc), 0xff);
}

// SubWord(last word of k), broadcast.
UNSEAL_AESNI __m128i subBroadcast(__m128i k) {
  return _mm_shuffle_epi32(_mm_aeskeygenassist_si128(k, 0), 0xaa);
}

// One forward key-schedule step: (w[8j..8j+7]) -> (w[8j+8..8j+15]).
template <int Rc>
UNSEAL_AESNI void forwardStep(__m128i& k0, __m128i& k1) {
  k0 = _mm_xor_si128(prefixXor(k0), rotSubBroadcast<Rc>(k1));
  k1 = _mm_xor_si128(prefixXor(k1), subBroadcast(k0));
}

// Its inverse: (w[8j+8..8j+15]) -> (w[8j..8j+7]).
template <int Rc>
UNSEAL_AESNI void backwardStep(__m128i& k0, __m128i& k1) {
  k1 = unprefixXor(_mm_xor_si128(k1, subBroadcast(k0)));
  k0 = unprefixXor(_mm_xor_si128(k0, rotSubBroadcast<Rc>(k1)));
}

UNSEAL_AESNI __m128i load(const std::uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
UNSEAL_AESNI void store(std::uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

// Encrypts Lanes blocks in place with one pass of the key schedule. With
// eight lanes the independent aesenc chains fill the AES unit's pipeline,
// where a single block waits on each round's latency.
template <int Rc, std::size_t Lanes>
UNSEAL_AESNI void encryptTwoRounds(__m128i (&s)[Lanes], __m128i& k0, __m128i& k1) {
  forwardStep<Rc>(k0, k1);
  for (auto& x : s) x = _mm_aesenc_si128(x, k0);
  for (auto& x : s) x = _mm_aesenc_si128(x, k1);
}

template <std::size_t Lanes>
UNSEAL_AESNI void encryptLanes(const std::uint8_t* key, std::uint8_t* blocks) {
  __m128i k0 = load(key), k1 = load(key + 16);
  __m128i s[Lanes];
  for (std::size_t i = 0; i < Lanes; ++i)
    s[i] = _mm_aesenc_si128(_mm_xor_si128(load(blocks + 16 * i), k0), k1);
  encryptTwoRounds<0x01>(s, k0, k1);
  encryptTwoRounds<0x02>(s, k0, k1);
  encryptTwoRounds<0x04>(s, k0, k1);
  encryptTwoRounds<0x08>(s, k0, k1);
  encryptTwoRounds<0x10>(s, k0, k1);
  encryptTwoRounds<0x20>(s, k0, k1);
  k0 = _mm_xor_si128(prefixXor(k0), rotSubBroadcast<0x40>(k1));
  for (std::size_t i = 0; i < Lanes; ++i) store(blocks + 16 * i, _mm_aesenclast_si128(s[i], k0));
}

UNSEAL_AESNI_CORE void coreEncrypt(const std::uint8_t* key, std::uint8_t* block) noexcept {
  encryptLanes<1>(key, block);
}

UNSEAL_AESNI_CORE void coreEncryptMany(const std::uint8_t* key, std::uint8_t* blocks,
                                       std::size_t count) noexcept {
  for (; count >= 8; count -= 8, blocks += 128) encryptLanes<8>(key, blocks);
  for (; count > 0; --count, blocks += 16) encryptLanes<1>(key, blocks);
}

// aesdec wants the round keys of the equivalent inverse cipher, hence aesimc.
template <int Rc>
UNSEAL_AESNI void decryptTwoRounds(__m128i& s, __m128i& k0, __m128i& k1) {
  backwardStep<Rc>(k0, k1);
  s = _mm_aesdec_si128(s, _mm_aesimc_si128(k1));
  s = _mm_aesdec_si128(s, _mm_aesimc_si128(k0));
}

UNSEAL_AESNI_CORE void coreDecrypt(const std::uint8_t* scheduleEnd, std::uint8_t* block) noexcept {
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
UNSEAL_AESNI_CORE void coreScheduleEnd(const std::uint8_t* key, std::uint8_t* out) noexcept {
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

// The entries of aes256Hardware: blocks handed to the cores as bytes. They
// hold no key material themselves.
UNSEAL_AESNI_TARGET void niEncrypt(const Block32& key, Block16& block) noexcept {
  coreEncrypt(key.data(), block.data());
}

UNSEAL_AESNI_TARGET void niEncryptMany(const Block32& key, std::uint8_t* blocks, std::size_t count) noexcept {
  coreEncryptMany(key.data(), blocks, count);
}

UNSEAL_AESNI_TARGET void niDecrypt(const Block32& scheduleEnd, Block16& block) noexcept {
  coreDecrypt(scheduleEnd.data(), block.data());
}

UNSEAL_AESNI_TARGET void niScheduleEnd(const Block32& key, Block32& out) noexcept {
  out.setFillLength(key.fillLength());  // as a copy of the key would carry it
  coreScheduleEnd(key.data(), out.data());
}

}  // namespace

// CPUID leaf 1, ECX: bit 25 is AES-NI, bit 19 SSE4.1.
bool aes256HardwareAvailable() noexcept {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
  return (ecx & (1u << 25)) != 0 && (ecx & (1u << 19)) != 0;
}

const Aes256Impl aes256Hardware = {"aes-ni", niEncrypt, niDecrypt, niScheduleEnd, niEncryptMany};

}  // namespace unseal::detail

#else

namespace unseal::detail {
bool aes256HardwareAvailable() noexcept { return false; }
const Aes256Impl aes256Hardware = aes256Portable;
}  // namespace unseal::detail

#endif
