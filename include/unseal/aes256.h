// AES-256 block cipher (FIPS-197): 32-byte keys, 16-byte blocks, 14 rounds.
//
// An Aes256 holds two 32-byte keys and no expanded schedule: the installed key
// (round keys 0 and 1), where encryption derives its round keys forwards, and
// the end of the schedule (round key 14 and the four words after it), where
// decryption derives them backwards. Every block operation recomputes the seven
// key-schedule steps inside the call and wipes what it put in memory; a run
// over many blocks derives the round keys once and wipes them before it
// returns. Block operations raise nothing, allocate nothing and leave
// fillLength alone.
//
// The work is done by the AES-256 implementation chosen once per process from
// the CPU; aes256Implementation names it.
//
// Errors: a key text shorter than 32 bytes raises invalid_argument
// "Key must contain at least 32 bytes of data"; bytes past the 32nd are ignored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "unseal/block.h"

namespace unseal {

namespace detail {
struct Aes256Impl;
struct Aes256Internals;
}  // namespace detail

// The name of the implementation in use: "vaes" on x86 CPUs with the 256-bit
// AES instructions and AVX2 enabled by the OS, else "aes-ni" on CPUs with the
// AES instructions; "armv8" on aarch64 CPUs with the ARMv8 AES instructions;
// else "vperm" (constant time, on SSSE3's or NEON's byte shuffles), and
// "bitsliced" (constant time, on any CPU) on x86 CPUs without SSSE3 and on
// other architectures.
const char* aes256Implementation() noexcept;

class Aes256 final {
 public:
  explicit Aes256(std::string_view keyText);
  explicit Aes256(const Block32& key) noexcept;

  void setKey(std::string_view keyText);
  void expandKey(const Block32& key) noexcept;

  Block16& encryptBlock(Block16& block) const noexcept;
  Block16& decryptBlock(Block16& block) const noexcept;
  Block16 encrypted(const Block16& block) const noexcept;
  Block16 decrypted(const Block16& block) const noexcept;
  // Encrypts count contiguous 16-byte blocks in place: the same bytes as
  // encryptBlock on each in turn, computed many blocks at a time.
  void encryptBlocks(std::uint8_t* blocks, std::size_t count) const noexcept;

  const Block32& encryptionKey() const noexcept { return encryptionKey_; }
  const Block32& decryptionKey() const noexcept { return decryptionKey_; }

  // Members are destroyed in reverse order: decryptionKey_, then
  // encryptionKey_, each wiping itself.
  ~Aes256() = default;
  Aes256(const Aes256&) = default;
  Aes256& operator=(const Aes256&) = default;

 private:
  friend detail::Aes256Internals;  // binds implementations, runs modes (cipher/aes256_impl.h)

  Block32 encryptionKey_;
  Block32 decryptionKey_;
  const detail::Aes256Impl* impl_;  // a constant table, not key material
};

}  // namespace unseal
