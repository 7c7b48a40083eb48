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
// the CPU (aes256Implementation names it); the internal constructors that take
// an implementation exist for the tests and benchmarks, which run each one.
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
enum ModeRun : int;
// The implementation this process uses: the first of aes256Impls() the CPU
// and the operating system support, chosen at the first call.
const Aes256Impl& chosenAes256Impl() noexcept;
}  // namespace detail

// The name of the implementation in use: "vaes" on x86 CPUs with the 256-bit
// AES instructions and AVX2 enabled by the OS, else "aes-ni" on CPUs with the
// AES instructions, else "portable".
const char* aes256Implementation() noexcept;

class Aes256 final {
 public:
  explicit Aes256(std::string_view keyText);
  explicit Aes256(const Block32& key) noexcept;
  // Internal: the same on a named implementation, or another object's keys on one.
  Aes256(std::string_view keyText, const detail::Aes256Impl& impl);
  Aes256(const Block32& key, const detail::Aes256Impl& impl) noexcept;
  Aes256(const Aes256& keys, const detail::Aes256Impl& impl) noexcept;

  void setKey(std::string_view keyText);
  void expandKey(const Block32& key) noexcept;

  Block16& encryptBlock(Block16& block) const noexcept;
  Block16& decryptBlock(Block16& block) const noexcept;
  Block16 encrypted(const Block16& block) const noexcept;
  Block16 decrypted(const Block16& block) const noexcept;
  // Encrypts count contiguous 16-byte blocks in place: the same bytes as
  // encryptBlock on each in turn, computed many blocks at a time.
  void encryptBlocks(std::uint8_t* blocks, std::size_t count) const noexcept;
  // Internal: a whole run of one chaining mode over length bytes from in to
  // out (the same bytes, or apart), with its chaining state in iv
  // (see cipher/aes256_impl.h).
  void run(detail::ModeRun mode, std::uint8_t* iv, const std::uint8_t* in, std::uint8_t* out,
           std::size_t length) const noexcept;

  const Block32& encryptionKey() const noexcept { return encryptionKey_; }
  const Block32& decryptionKey() const noexcept { return decryptionKey_; }
  const detail::Aes256Impl& implementation() const noexcept { return *impl_; }

  // Members are destroyed in reverse order: decryptionKey_, then
  // encryptionKey_, each wiping itself.
  ~Aes256() = default;
  Aes256(const Aes256&) = default;
  Aes256& operator=(const Aes256&) = default;

 private:
  Block32 encryptionKey_;
  Block32 decryptionKey_;
  const detail::Aes256Impl* impl_;  // a constant table, not key material
};

}  // namespace unseal
