// Deterministic random generator: AES-256 over a 128-bit counter.
//
// The bytes handed out, across all calls, are E(C0) || E(C0+1) || E(C0+2) ...
// where E is AES-256 under the installed key and C0 the starting counter
// (byte 0 least significant). How requests are split does not change the
// sequence. Output is produced four blocks at a time into a 64-byte ring.
//
// The key defaults to defaultRandomKey and the counter to
// defaultRandomCounter; a seed's first 16 bytes are XORed into the counter and
// a key text's first 32 bytes replace the key. Nothing comes from the
// operating system: the same seed and key give the same bytes in every run.
// Under the published default key this generator is not a source of
// unpredictable numbers, whatever the seed: one output block decrypts to the
// counter. Given a secret key text it is (CipherEngine::withSystemRandomIvs).
//
// Errors (invalid_argument): "Seed must consist of (at least) 16 bytes" for a
// seed of 1..15 bytes (0..15 for reseed); "Key must contain at least 32 bytes
// of data" for a key text of 1..31 bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "unseal/aes256.h"
#include "unseal/block.h"

namespace unseal {

// Arbitrary constants, fixed at build time; not printable text.
inline constexpr std::uint8_t defaultRandomKey[32] = {
    0xe5, 0xe6, 0x91, 0x9b, 0x99, 0xcd, 0x9c, 0xcb, 0x81, 0x9e, 0x80, 0x88, 0x1d, 0xf1, 0xec, 0x85,
    0x98, 0x92, 0x0d, 0x8f, 0x84, 0xde, 0xe1, 0x00, 0x81, 0x90, 0xac, 0x89, 0xcb, 0xe1, 0x11, 0xf2};
inline constexpr std::uint8_t defaultRandomCounter[16] = {0x10, 0xc7, 0x9a, 0xa1, 0xf3, 0x14, 0xbe, 0xfb,
                                                          0xf8, 0x90, 0xd1, 0xd5, 0xc7, 0x08, 0xa3, 0x14};

class CtrRandom final {
 public:
  // seed: empty or at least 16 bytes; keyText: empty or at least 32 bytes.
  CtrRandom(std::string_view seed, std::string_view keyText);

  // Back to the fresh state with counter = defaultRandomCounter XOR seed.
  void reseed(std::string_view seed);

  // Writes the next n output bytes to dest and returns dest.
  std::uint8_t* fill(std::uint8_t* dest, std::uint64_t n) noexcept;
  // Replaces the block's 16 data bytes; its fill length stays.
  void fillBlock(Block16& block) noexcept;
  // The next n output bytes as a text.
  std::string randomText(std::uint64_t n);

  // Members are destroyed (and wiped) in reverse order: buffer_, counter_, aes_.
  ~CtrRandom() = default;
  CtrRandom(const CtrRandom&) = default;
  CtrRandom& operator=(const CtrRandom&) = default;

 private:
  friend detail::Aes256Internals;  // binds implementations (cipher/aes256_impl.h)

  void refill() noexcept;

  Aes256 aes_;
  Block16 counter_;
  Block64 buffer_;  // ring of output bytes; its fill length stays 0
  std::uint64_t readPos_ = 0;
  std::uint64_t writePos_ = 0;
};

}  // namespace unseal
