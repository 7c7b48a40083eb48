#include "unseal/ctr_random.h"

#include <cstring>
#include <memory>
#include <stdexcept>

#include "cipher/aes256_impl.h"

namespace unseal {

namespace {

// The key object for defaultRandomKey, expanded once per process and copied
// into every generator: engines are built often (one per 128-byte chunk in
// the command), and this key is a published constant, not a secret.
const Aes256& defaultKeyObject() {
  static const Aes256 aes(Block32::fromBytes(defaultRandomKey, 32));
  return aes;
}

}  // namespace

CtrRandom::CtrRandom(std::string_view seed, std::string_view keyText)
    : aes_(defaultKeyObject()), counter_(Block16::fromBytes(defaultRandomCounter, 16)), buffer_() {
  if (!seed.empty()) {
    if (seed.size() < 16) throw std::invalid_argument(kShortSeedMessage);
    counter_.xorWith(Block16::fromText(seed, 0));
  }
  if (!keyText.empty()) aes_.setKey(keyText);
}

void CtrRandom::reseed(std::string_view seed) {
  if (seed.size() < 16) throw std::invalid_argument(kShortSeedMessage);
  counter_ = Block16::fromBytes(defaultRandomCounter, 16).xored(Block16::fromText(seed, 0));
  readPos_ = 0;
  writePos_ = 0;
}

// Entered only when nothing is buffered ahead, so the loop encrypts exactly
// four counter values into ring indexes 0, 16, 32 and 48.
void CtrRandom::refill() noexcept {
  while (writePos_ - readPos_ < 64) {
    Block16 tmp = counter_.postIncrement();
    aes_.encryptBlock(tmp);
    buffer_.placeAt(writePos_ % 64, tmp);
    writePos_ += 16;
  }
  readPos_ %= 64;
  writePos_ = readPos_ + 64;
}

std::uint8_t* CtrRandom::fill(std::uint8_t* dest, std::uint64_t n) noexcept {
  std::uint8_t* const start = dest;
  std::uint64_t avail = writePos_ - readPos_;
  if (avail == 0) {
    refill();
    avail = 64;
  }
  for (;;) {
    const std::uint64_t take = n < avail ? n : avail;
    const std::size_t idx = static_cast<std::size_t>(readPos_ % 64);
    // Under the ring's invariant idx + take never passes 64; the wrap branch
    // keeps the copy inside the ring even if it did.
    const std::size_t first = static_cast<std::size_t>(take < 64 - idx ? take : 64 - idx);
    if (first > 0) std::memcpy(dest, buffer_.data() + idx, first);
    if (take > first) std::memcpy(dest + first, buffer_.data(), static_cast<std::size_t>(take) - first);
    readPos_ += take;
    if (take == n) return start;
    dest += take;
    n -= take;
    refill();
    avail = 64;
  }
}

void detail::Aes256Internals::bind(CtrRandom& random, const Aes256Impl& impl) noexcept {
  bind(random.aes_, impl);
}

void CtrRandom::fillBlock(Block16& block) noexcept { fill(block.data(), 16); }

std::string CtrRandom::randomText(std::uint64_t n) {
  const std::size_t size = static_cast<std::size_t>(n);
  // The temporary array is wiped before it is released, also if building
  // the text throws.
  auto wipeAndDelete = [size](std::uint8_t* p) {
    secureWipe(p, size);
    delete[] p;
  };
  std::unique_ptr<std::uint8_t[], decltype(wipeAndDelete)> bytes(new std::uint8_t[size], wipeAndDelete);
  fill(bytes.get(), n);
  return std::string(reinterpret_cast<const char*>(bytes.get()), size);
}

}  // namespace unseal
