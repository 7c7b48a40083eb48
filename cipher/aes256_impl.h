// Internal: the AES-256 implementations and the one choice among them.
//
// Each implementation is one source file exposing one constant table of
// functions on raw bytes. The single-block functions derive the round keys
// on the fly from the stored keys: encrypt forwards from the installed key
// (round keys 0 and 1), decrypt backwards from the schedule's end (round key
// 14 and the next four words); scheduleEnd runs the seven forward steps. The
// runs transform whole texts in one chaining mode (ModeRun), deriving the
// round keys once per call and wiping them before they return; they give the
// bytes and final chaining state that the engine's block operations give
// block by block. After every call the library clears the vector registers
// and wipes the stack the call may have left secrets on (cipher/aes256.cpp).
//
// Each table names the instructions it needs. A CPU gets the first entry
// of aes256Impls() whose instructions it runs (chooseAes256Impl, a function of
// the CPU's feature bits alone); the process reads its CPU's bits and makes
// that choice once (chosenAes256Impl). An object keeps the table it was built
// with, and tests and benchmarks bind theirs to the table they want
// (Aes256Internals). The build option UNSEAL_HARDWARE_AES=OFF leaves the
// implementations on AES instructions out, so that every CPU gets one
// without.
//
// Adding an implementation:
//   1. cipher/aes256_<name>.cpp: the single-block functions, a run Core (the
//      concept RunCore in cipher/aes256_runs.h: the types, load, store, the
//      cipher both ways, inBatches) and the table, `const Aes256Impl
//      aes256<Name>`, whose runs are ModeRuns<Core>::table() (an entry may
//      pass its run on to another implementation's, as aes256_vperm.cpp
//      does with bitslicedRun; the wipe test counts those by that name);
//   2. its extern below, under the #if of the CPUs it builds for;
//   3. its place in aes256Impls() (cipher/aes256_choice.cpp), in order of
//      preference, and the instructions it needs (AesInstructions, cpuRuns);
//   4. the source in unseal_aes_sources (CMakeLists.txt), under
//      UNSEAL_HARDWARE_AES if it needs AES instructions; the wipe probe
//      (tests/CMakeLists.txt) compiles the same list, so its test finds
//      every run's wipe;
//   5. docs/performance.md and docs/security.md: which CPUs get it, what it
//      costs, whether it runs in constant time.
// The tests, benchmarks and fuzz targets run every entry of aes256Impls()
// the CPU runs, against the portable reference, with nothing to add.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "unseal/aes256.h"

namespace unseal {
class CipherEngine;
class CtrRandom;
}  // namespace unseal

namespace unseal::detail {

// A run's key is the installed key, except for the three decryptions made of
// inverse ciphers (runsFromScheduleEnd), which take the schedule's end. iv is
// the 16-byte chaining state, read and updated (ECB ignores it). length is a
// multiple of 16, except in CFB8, which runs byte by byte. out is in or does
// not overlap it.
enum ModeRun : int {
  EcbEncrypt,
  EcbDecrypt,
  CbcEncrypt,
  CbcDecrypt,
  PcbcEncrypt,
  PcbcDecrypt,
  CfbEncrypt,
  CfbDecrypt,
  Cfb8Encrypt,
  Cfb8Decrypt,
  OfbCrypt,
  CtrCrypt,
  kModeRunCount
};

constexpr bool runsFromScheduleEnd(ModeRun run) {
  return run == EcbDecrypt || run == CbcDecrypt || run == PcbcDecrypt;
}

// The serial runs: each block's cipher input needs the block before.
constexpr bool runsBlockByBlock(ModeRun run) {
  return run == CbcEncrypt || run == PcbcEncrypt || run == CfbEncrypt || run == Cfb8Encrypt ||
         run == OfbCrypt;
}

using RunFunction = void (*)(const std::uint8_t* key, std::uint8_t* iv, const std::uint8_t* in,
                             std::uint8_t* out, std::size_t length) noexcept;
using RunTable = std::array<RunFunction, kModeRunCount>;

// The instructions an implementation needs, beyond the base instruction set
// of its architecture (x86-64 has SSE2, aarch64 NEON).
enum class AesInstructions {
  none,
  ssse3,  // x86: SSSE3's byte shuffle, PSHUFB
  aesNi,  // x86: AES-NI
  vaes,   // x86: VAES on 256-bit registers, AVX2, the OS saving the YMM registers
  armv8,  // aarch64: the cryptography extension's AESE, AESD, AESMC, AESIMC
};

struct Aes256Impl {
  const char* name;
  AesInstructions needs;
  void (*encrypt)(const std::uint8_t* key, std::uint8_t* block) noexcept;
  void (*decrypt)(const std::uint8_t* scheduleEnd, std::uint8_t* block) noexcept;
  void (*scheduleEnd)(const std::uint8_t* key, std::uint8_t* out) noexcept;  // out may be key
  RunTable runs;
  // How deep below its caller encrypt, decrypt and scheduleEnd may leave
  // secrets on the stack (registers the compiler spilled): the library wipes
  // that much after each call. 0 for code that keeps them in registers.
  std::size_t blockStackBytes;
};

#ifndef UNSEAL_HARDWARE_AES
#define UNSEAL_HARDWARE_AES 1
#endif

// The byte-oriented reference, valid on every CPU (aes256_portable.cpp).
extern const Aes256Impl aes256Portable;
// Constant time on every CPU, eight blocks at a time (aes256_bitsliced.cpp).
extern const Aes256Impl aes256Bitsliced;
#if defined(__x86_64__) || defined(__i386__) || defined(__aarch64__)
// Constant time on byte shuffles (SSSE3, NEON), one block at a time; the
// runs whose blocks go side by side are the bitsliced ones (aes256_vperm.cpp).
extern const Aes256Impl aes256Vperm;
#endif
#if UNSEAL_HARDWARE_AES && (defined(__x86_64__) || defined(__i386__))
// The AES instructions on one block per register (aes256_x86ni.cpp).
extern const Aes256Impl aes256AesNi;
// The 256-bit AES instructions, two blocks per register (aes256_x86vaes.cpp).
extern const Aes256Impl aes256Vaes;
#endif
#if UNSEAL_HARDWARE_AES && defined(__aarch64__)
// The ARMv8 AES instructions, one block per register (aes256_armv8.cpp).
extern const Aes256Impl aes256Armv8;
#endif

// Every implementation built in, in order of preference; the portable one last.
std::span<const Aes256Impl* const> aes256Impls() noexcept;

// The feature bits the choice reads, as the CPU and the operating system
// report them; those of another architecture are 0.
struct CpuFeatures {
  std::uint32_t leaf1Ecx = 0, leaf1Edx = 0;  // x86: CPUID leaf 1
  std::uint32_t leaf7Ebx = 0, leaf7Ecx = 0;  // x86: CPUID leaf 7, subleaf 0
  std::uint64_t xcr0 = 0;                    // x86: XGETBV 0, the register state the OS saves
  std::uint64_t hwcap = 0;                   // aarch64: getauxval(AT_HWCAP)
};

// This CPU's, read at the first call.
const CpuFeatures& cpuFeatures() noexcept;

// Whether a CPU with these features, under an OS that saves what it must,
// runs code that needs these instructions.
bool cpuRuns(const CpuFeatures& cpu, AesInstructions needs) noexcept;

// The implementation for a CPU with these features: the first of
// aes256Impls() it runs.
const Aes256Impl& chooseAes256Impl(const CpuFeatures& cpu) noexcept;

// The implementation this process uses: chooseAes256Impl(cpuFeatures()),
// made at the first call.
const Aes256Impl& chosenAes256Impl() noexcept;

// What the library, the command, the tests and the benchmarks reach inside
// the public objects for.
struct Aes256Internals {
  // From now on the object runs impl: its key objects switch to it, and the
  // schedule's end is computed again on it. Bind an object before using it.
  static void bind(Aes256& aes, const Aes256Impl& impl) noexcept;
  static void bind(CtrRandom& random, const Aes256Impl& impl) noexcept;
  static void bind(CipherEngine& engine, const Aes256Impl& impl) noexcept;
  static const Aes256Impl& implementation(const Aes256& aes) noexcept;
  // A whole run of one chaining mode over length bytes from in to out (the
  // same bytes, or apart), with its chaining state in iv; the stack it used
  // is wiped after it.
  static void run(const Aes256& aes, ModeRun mode, std::uint8_t* iv, const std::uint8_t* in,
                  std::uint8_t* out, std::size_t length) noexcept;
};

// The object, bound to impl: boundTo(impl, Aes256(key)).
template <class T>
T boundTo(const Aes256Impl& impl, T object) {
  Aes256Internals::bind(object, impl);
  return object;
}

// The forward and backward key-schedule steps of AES-256 on a 32-byte key;
// each turns 8 schedule words into the next (previous) 8. They look the
// S-box up by key bytes: a constant-time implementation has its own.
void forwardKeyStep(std::uint8_t k[32], std::uint8_t& rc) noexcept;
void backwardKeyStep(std::uint8_t k[32], std::uint8_t& rc) noexcept;

}  // namespace unseal::detail
