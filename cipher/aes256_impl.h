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
// The process uses the first supported entry of aes256Impls(), chosen once
// (chosenAes256Impl); an Aes256 keeps the table it was built with, and tests
// and benchmarks name the table they want.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "unseal/aes256.h"

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

using RunFunction = void (*)(const std::uint8_t* key, std::uint8_t* iv, const std::uint8_t* in,
                             std::uint8_t* out, std::size_t length) noexcept;
using RunTable = std::array<RunFunction, kModeRunCount>;

struct Aes256Impl {
  const char* name;
  bool (*supported)() noexcept;  // this CPU and OS can run it
  void (*encrypt)(const std::uint8_t* key, std::uint8_t* block) noexcept;
  void (*decrypt)(const std::uint8_t* scheduleEnd, std::uint8_t* block) noexcept;
  void (*scheduleEnd)(const std::uint8_t* key, std::uint8_t* out) noexcept;  // out may be key
  RunTable runs;
  // How deep below its caller encrypt, decrypt and scheduleEnd may leave
  // secrets on the stack (registers the compiler spilled): the library wipes
  // that much after each call. 0 for code that keeps them in registers.
  std::size_t blockStackBytes;
};

// The byte-oriented reference, valid on every CPU (aes256_portable.cpp).
extern const Aes256Impl aes256Portable;
#if defined(__x86_64__) || defined(__i386__)
// The AES instructions on one block per register (aes256_x86ni.cpp).
extern const Aes256Impl aes256AesNi;
// The 256-bit AES instructions, two blocks per register (aes256_x86vaes.cpp).
extern const Aes256Impl aes256Vaes;
#endif

// Every implementation built in, in order of preference; the portable one last.
std::span<const Aes256Impl* const> aes256Impls() noexcept;

// The forward and backward key-schedule steps of AES-256 on a 32-byte key;
// each turns 8 schedule words into the next (previous) 8.
void forwardKeyStep(std::uint8_t k[32], std::uint8_t& rc) noexcept;
void backwardKeyStep(std::uint8_t k[32], std::uint8_t& rc) noexcept;

}  // namespace unseal::detail
