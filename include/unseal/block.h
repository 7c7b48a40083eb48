// Fixed-size byte blocks and their padding.
//
// Block<N> (N = 16, 32 or 64) holds N data bytes and a fill length: how many
// leading bytes are data rather than padding. Blocks live inside the object,
// never allocate, and overwrite their data bytes with zeros when destroyed.
//
// The padding scheme is process-wide state, one setting per block size, read
// whenever a block is padded or stripped. All settings start as ISO7816_4;
// only the 16-byte setting can change (Block16::setPaddingScheme). While a
// setting holds a value outside 0..3, padding writes nothing and stripping
// strips nothing; constructors then leave the unpadded bytes zero.
//
// Byte order: as a counter (increment) byte 0 is least significant; as a shift
// register (shiftLeft) byte 0 is most significant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

#include "unseal/errors.h"
#include "unseal/wipe.h"

namespace unseal {

enum PaddingScheme : std::int32_t { PKCS7 = 0, ANSIX923 = 1, ISO7816_4 = 2, Zeros = 3 };

template <std::size_t N>
class Block {
  static_assert(N == 16 || N == 32 || N == 64, "blocks are 16, 32 or 64 bytes");

 public:
  static constexpr std::size_t kSize = N;

  // An empty block: all padding under the current scheme, fill length 0.
  Block() noexcept { pad(0); }
  Block(const Block& other) noexcept : fillLength_(other.fillLength_) { std::memcpy(data_, other.data_, N); }
  Block& operator=(const Block& other) noexcept {
    std::memmove(data_, other.data_, N);
    fillLength_ = other.fillLength_;
    return *this;
  }
  ~Block() { wipe(); }

  // The first min(length, N) bytes, padded from there when length < N.
  static Block fromBytes(const void* bytes, std::uint64_t length) noexcept {
    Block b(Zeroed{});
    const std::size_t take = length < N ? static_cast<std::size_t>(length) : N;
    if (take > 0) std::memcpy(b.data_, bytes, take);
    b.finishFill(take);
    return b;
  }

  // Up to N bytes of text starting at offset; an empty block past the end.
  static Block fromText(std::string_view text, std::uint64_t offset) noexcept {
    if (offset >= text.size()) return Block();
    const std::uint64_t rest = text.size() - offset;
    return fromBytes(text.data() + offset, rest);
  }

  // A 16-byte block cut from a 32-byte key at offset (AES uses 0 and 16).
  static Block sliceOf(const Block<32>& key, std::uint64_t offset) noexcept requires(N == 16) {
    if (offset > 32) return Block();
    return fromBytes(key.data() + offset, 32 - offset);
  }

  std::uint8_t* data() noexcept { return data_; }
  const std::uint8_t* data() const noexcept { return data_; }
  std::uint8_t& byteAt(std::uint64_t index) noexcept { return data_[index]; }
  std::uint8_t byteAt(std::uint64_t index) const noexcept { return data_[index]; }
  std::uint64_t fillLength() const noexcept { return fillLength_; }
  Block& setFillLength(std::uint64_t count) noexcept {
    fillLength_ = static_cast<std::uint32_t>(count);
    return *this;
  }

  // Writes the current scheme's padding from position to the end.
  Block& pad(std::uint64_t position) noexcept {
    if (position >= N) return setFillLength(N);  // nothing left to pad
    const std::size_t p = static_cast<std::size_t>(position);
    const std::size_t k = N - p;
    switch (paddingScheme) {
      case PKCS7: std::memset(data_ + p, static_cast<int>(k), k); break;
      case ANSIX923:
        std::memset(data_ + p, 0, k - 1);
        data_[N - 1] = static_cast<std::uint8_t>(k);
        break;
      case ISO7816_4:
        data_[p] = 0x80;
        std::memset(data_ + p + 1, 0, k - 1);
        break;
      case Zeros: std::memset(data_ + p, 0, k); break;
      default: break;  // unknown scheme: the bytes keep what they held
    }
    fillLength_ = static_cast<std::uint32_t>(p);
    return *this;
  }

  // All N bytes, or (unpad) the bytes in front of the padding. Raises
  // invalid_argument "String to decrypt is garbled" on malformed padding.
  std::string toText(bool unpad) const {
    const std::size_t length = unpad ? unpaddedLength() : N;
    return std::string(reinterpret_cast<const char*>(data_), length);
  }

  // How many bytes stand in front of the padding under the current scheme
  // (N under a scheme outside 0..3). Raises invalid_argument "String to
  // decrypt is garbled" on malformed padding.
  std::size_t unpaddedLength() const {
    switch (paddingScheme) {
      case PKCS7: return countedPadding(true);
      case ANSIX923: return countedPadding(false);
      case ISO7816_4: {
        std::size_t i = lastNonZero();
        if (data_[i] != 0x80) throw std::invalid_argument(kGarbledMessage);
        return i;
      }
      case Zeros: return lastNonZero() + 1;
      default: return N;
    }
  }

  // Text of 16 bytes or more: its first 16 bytes; shorter: padded after it.
  Block& assignText(std::string_view text) noexcept requires(N == 16) {
    if (text.size() >= N) {
      std::memcpy(data_, text.data(), N);
    } else {
      if (!text.empty()) std::memcpy(data_, text.data(), text.size());
      pad(text.size());
    }
    return *this;
  }

  Block& xorWith(const Block& other) noexcept {
    for (std::size_t i = 0; i < N; ++i) data_[i] ^= other.data_[i];
    return *this;
  }
  Block xored(const Block& other) const noexcept {
    Block result(*this);
    result.xorWith(other);
    return result;
  }
  // Copies the data bytes only; the fill length stays. (Copying bytes that are
  // already equal changes nothing, so no comparison precedes the copy.)
  Block& assign(const Block& other) noexcept {
    std::memmove(data_, other.data_, N);
    return *this;
  }
  // Compares data bytes in constant time; fill lengths are not compared.
  bool equals(const Block& other) const noexcept {
    std::uint8_t diff = 0;
    for (std::size_t i = 0; i < N; ++i) diff |= static_cast<std::uint8_t>(data_[i] ^ other.data_[i]);
    return diff == 0;
  }

  // Shift register: byte 0 most significant; zeros enter at byte N-1.
  Block& shiftLeft(std::uint64_t bits) noexcept {
    const std::uint64_t whole = bits / 8;
    const unsigned rest = static_cast<unsigned>(bits % 8);
    if (whole >= N) {
      std::memset(data_, 0, N);
      return *this;
    }
    if (whole > 0) {
      const std::size_t w = static_cast<std::size_t>(whole);
      std::memmove(data_, data_ + w, N - w);
      std::memset(data_ + N - w, 0, w);
    }
    if (rest > 0) {
      for (std::size_t i = 0; i + 1 < N; ++i) {
        data_[i] = static_cast<std::uint8_t>((data_[i] << rest) | (data_[i + 1] >> (8 - rest)));
      }
      data_[N - 1] = static_cast<std::uint8_t>(data_[N - 1] << rest);
    }
    return *this;
  }

  // Counter: byte 0 least significant; the carry out of byte N-1 is dropped.
  // Every byte is visited and nothing branches on their values: a counter
  // may be secret (a generator's is).
  Block& increment() noexcept {
    unsigned carry = 1;
    for (std::size_t i = 0; i < N; ++i) {
      const unsigned sum = data_[i] + carry;
      data_[i] = static_cast<std::uint8_t>(sum);
      carry = sum >> 8;
    }
    return *this;
  }
  Block postIncrement() noexcept {
    Block before(*this);
    increment();
    return before;
  }

  // Copies the first min(16, N - offset) bytes of source to offset onward.
  Block& placeAt(std::uint64_t offset, const Block<16>& source) noexcept {
    const std::size_t o = static_cast<std::size_t>(offset);
    const std::size_t room = N - o;
    std::memcpy(data_ + o, source.data(), room < 16 ? room : 16);
    return *this;
  }

  void wipe() noexcept { secureWipe(data_, N); }

  static std::int32_t currentPaddingScheme() noexcept { return paddingScheme; }
  static void setPaddingScheme(std::int32_t scheme) noexcept requires(N == 16) { paddingScheme = scheme; }

 private:
  // Data bytes start zero (see data_), so that a scheme outside 0..3, which
  // writes nothing, leaves zeros rather than stale memory behind short data.
  struct Zeroed {};
  explicit Block(Zeroed) noexcept {}

  void finishFill(std::size_t take) noexcept {
    if (take < N) {
      pad(take);
    } else {
      fillLength_ = static_cast<std::uint32_t>(N);
    }
  }

  // PKCS7 (every pad byte holds the count) and ANSIX923 (pad bytes are zero):
  // the last byte names the count. A count beyond the block is malformed.
  std::size_t countedPadding(bool bytesHoldCount) const {
    const std::size_t n = data_[N - 1];
    if (n > N) throw std::invalid_argument(kGarbledMessage);
    const std::size_t length = N - n;
    const std::uint8_t expected = bytesHoldCount ? static_cast<std::uint8_t>(n) : 0;
    for (std::size_t i = length; i + 1 < N; ++i) {
      if (data_[i] != expected) throw std::invalid_argument(kGarbledMessage);
    }
    return length;
  }

  std::size_t lastNonZero() const noexcept {
    std::size_t i = N - 1;
    while (i > 0 && data_[i] == 0) --i;
    return i;
  }

  // Defined once, in the library, so that a shared library and the programs
  // using it share one setting per block size.
  static std::int32_t paddingScheme;

  std::uint8_t data_[N]{};
  std::uint32_t fillLength_ = 0;
};

template <>
std::int32_t Block<16>::paddingScheme;
template <>
std::int32_t Block<32>::paddingScheme;
template <>
std::int32_t Block<64>::paddingScheme;

using Block16 = Block<16>;
using Block32 = Block<32>;
using Block64 = Block<64>;

}  // namespace unseal
