#include "unseal/sha1.h"

#include <cstring>

#include "unseal/wipe.h"

namespace unseal {
namespace {

constexpr std::uint32_t rotl(std::uint32_t x, unsigned n) { return (x << n) | (x >> (32 - n)); }

void storeBigEndian(std::uint32_t word, std::uint8_t* out) {
  out[0] = static_cast<std::uint8_t>(word >> 24);
  out[1] = static_cast<std::uint8_t>(word >> 16);
  out[2] = static_cast<std::uint8_t>(word >> 8);
  out[3] = static_cast<std::uint8_t>(word);
}

}  // namespace

Sha1::~Sha1() { secureWipe(this, sizeof *this); }

void Sha1::init() noexcept {
  bufferCount = 0;
  bitCountLow = 0;
  bitCountHigh = 0;
  state[0] = 0x67452301;
  state[1] = 0xEFCDAB89;
  state[2] = 0x98BADCFE;
  state[3] = 0x10325476;
  state[4] = 0xC3D2E1F0;
  roundConstants[0] = 0x5A827999;
  roundConstants[1] = 0x6ED9EBA1;
  roundConstants[2] = 0x8F1BBCDC;
  roundConstants[3] = 0xCA62C1D6;
}

void Sha1::update(const void* data, std::uint32_t length) noexcept {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  for (std::uint32_t i = 0; i < length; ++i) {
    buffer[bufferCount++] = bytes[i];
    if (bufferCount == 64) {
      compress(buffer);
      if (bitCountLow >= 0xFFFFFE00u) ++bitCountHigh;
      bitCountLow += 512;
      bufferCount = 0;
    }
  }
}

void Sha1::updateInPieces(const void* data, std::uint64_t length) noexcept {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  while (length > 0) {
    const std::uint32_t piece = length > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(length);
    update(bytes, piece);
    bytes += piece;
    length -= piece;
  }
}

void Sha1::finish(std::uint8_t digest[DigestSize]) noexcept {
  const std::uint32_t n = bufferCount;
  buffer[n] = 0x80;
  if (n <= 55) {
    std::memset(buffer + n + 1, 0, 55 - n);
  } else {
    std::memset(buffer + n + 1, 0, 63 - n);
    compress(buffer);
    std::memset(buffer, 0, 56);
  }
  const std::uint32_t tailBits = 8 * n;
  if (bitCountLow > 0xFFFFFFFFu - tailBits) ++bitCountHigh;
  bitCountLow += tailBits;
  storeBigEndian(bitCountHigh, buffer + 56);
  storeBigEndian(bitCountLow, buffer + 60);
  compress(buffer);
  for (int k = 0; k < 5; ++k) storeBigEndian(state[k], digest + 4 * k);
}

void Sha1::compress(const std::uint8_t block[64]) noexcept {
  std::uint32_t w[80];
  for (int t = 0; t < 16; ++t) {
    w[t] = static_cast<std::uint32_t>(block[4 * t]) << 24 |
           static_cast<std::uint32_t>(block[4 * t + 1]) << 16 |
           static_cast<std::uint32_t>(block[4 * t + 2]) << 8 | block[4 * t + 3];
  }
  for (int t = 16; t < 80; ++t) w[t] = rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);

  std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
  for (int t = 0; t < 80; ++t) {
    std::uint32_t f;
    if (t < 20) {
      f = (b & c) ^ (~b & d);
    } else if (t < 40 || t >= 60) {
      f = b ^ c ^ d;
    } else {
      f = (b & c) ^ (b & d) ^ (c & d);
    }
    const std::uint32_t temp = rotl(a, 5) + f + e + roundConstants[t / 20] + w[t];
    e = d;
    d = c;
    c = rotl(b, 30);
    b = a;
    a = temp;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
  secureWipe(w, sizeof w);  // the schedule is a function of the message
}

}  // namespace unseal
