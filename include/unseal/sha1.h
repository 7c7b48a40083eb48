// SHA-1 message digest (FIPS 180-4).
//
// A plain context: init(), then update() any number of times with any lengths
// (0 included), then finish() once to write the 20-byte digest. finish() does
// not reset the context; init() starts a new message. Nothing allocates and
// nothing fails. The context wipes itself on destruction, since it may have
// absorbed key material.
#pragma once

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
  void finish(std::uint8_t digest[DigestSize]) noexcept;

 private:
  void compress(const std::uint8_t block[64]) noexcept;

  std::uint8_t buffer[64]{};
  std::uint32_t bufferCount = 0;
  std::uint32_t bitCountLow = 0;
  std::uint32_t bitCountHigh = 0;
  std::uint32_t state[5]{};
  std::uint32_t roundConstants[4]{};
};

}  // namespace unseal
