// SHA-1 message digest (FIPS 180-4).
//
// A plain context: init(), then update() any number of times with any lengths
// (0 included), then finish() once to write the 20-byte digest. finish() does
// not reset the context; init() starts a new message. Nothing allocates and
// nothing fails. The context wipes itself on destruction, since it may have
// absorbed key material.
//
// update takes a length of any integer type whole: a std::size_t over 4 GiB
// is hashed in 32-bit pieces, never cut to its low 32 bits; a negative length
// hashes nothing.
#pragma once

#include <concepts>
#include <cstdint>

namespace unseal {

class Sha1 {
 public:
  static constexpr std::uint32_t DigestSize = 20;

  Sha1() = default;
  Sha1(const Sha1&) = default;
  Sha1& operator=(const Sha1&) = default;
  ~Sha1();

  void init() noexcept;
  void update(const void* data, std::uint32_t length) noexcept;
  template <std::integral Length>
  requires(!std::same_as<Length, std::uint32_t>) void update(const void* data, Length length) noexcept {
    if (length > 0) updateInPieces(data, static_cast<std::uint64_t>(length));
  }
  void finish(std::uint8_t digest[DigestSize]) noexcept;

 private:
  void updateInPieces(const void* data, std::uint64_t length) noexcept;
  void compress(const std::uint8_t block[64]) noexcept;

  std::uint8_t buffer[64]{};
  std::uint32_t bufferCount = 0;
  std::uint32_t bitCountLow = 0;
  std::uint32_t bitCountHigh = 0;
  std::uint32_t state[5]{};
  std::uint32_t roundConstants[4]{};
};

}  // namespace unseal
