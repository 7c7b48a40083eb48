// encryptText then decryptText, and encryptStream then decryptStream, give
// the plaintext back in every mode and padding scheme: exactly in the modes
// that don't pad; stripped of the padding as the plain model strips it in the
// modes that do; with the fill bytes of the final block when noPadding is on.
// Every AES-256 implementation the machine runs gives the same ciphertext.
#include <fuzzer/FuzzedDataProvider.h>

#include <sstream>

#include "fuzz_support.h"
#include "unseal/cipher_engine.h"

namespace {

// What decryption returns for `plain` in a mode that pads.
std::string expectedFromPaddingMode(const std::string& plain, std::int32_t scheme, bool noPadding) {
  using unseal::fuzz::referencePadded;
  const std::size_t whole = plain.size() - plain.size() % 16;
  std::string blocks = plain.substr(0, whole);
  if (whole < plain.size()) {
    blocks += referencePadded(plain.substr(whole), scheme);
  } else if (!noPadding) {
    blocks += referencePadded("", scheme);
  }
  if (noPadding) return blocks;
  const auto last = unseal::fuzz::referenceStripped(blocks.substr(blocks.size() - 16), scheme);
  unseal::fuzz::require(last.has_value());  // what the library padded, it strips
  return blocks.substr(0, blocks.size() - 16) + *last;
}

// Both round trips on one implementation; returns the ciphertext.
std::string roundTrips(const unseal::detail::Aes256Impl& impl, std::int32_t mode, std::int32_t scheme,
                       bool noPadding, const std::string& key, const std::string& iv,
                       const std::string& plain) {
  using namespace unseal;
  CipherEngine engine = detail::boundTo(impl, CipherEngine(key, mode, scheme));
  const std::string expected = engine.modePads() ? expectedFromPaddingMode(plain, scheme, noPadding) : plain;

  engine.setIv(iv);
  const std::string cipherText = engine.encryptText(plain, noPadding);
  engine.setIv(iv);
  fuzz::require(engine.decryptText(cipherText, noPadding) == expected);  // every length it made

  engine.setIv(iv);
  std::istringstream source(plain);
  std::ostringstream sealed;
  sealed << (mode == ECB ? std::string() : iv.substr(0, 16));
  engine.encryptStream(source, sealed, noPadding);
  fuzz::require(sealed.str().substr(mode == ECB ? 0 : 16) == cipherText);
  std::istringstream back(sealed.str());
  std::ostringstream opened;
  engine.decryptStream(back, opened, noPadding);
  fuzz::require(opened.str() == expected);
  return cipherText;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace unseal;
  FuzzedDataProvider in(data, size);
  const auto mode = in.ConsumeIntegralInRange<std::int32_t>(ECB, CTR);
  const auto scheme = in.ConsumeIntegralInRange<std::int32_t>(PKCS7, Zeros);
  const bool noPadding = in.ConsumeBool();
  const std::string key = in.ConsumeBytesAsString(32) + std::string(32, 'k');
  const std::string iv = in.ConsumeBytesAsString(16) + std::string(16, 'v');
  const std::string plain = in.ConsumeRemainingBytesAsString();

  // Every implementation the machine runs, and the same ciphertext from each.
  const std::string cipherText = roundTrips(detail::aes256Portable, mode, scheme, noPadding, key, iv, plain);
  for (const detail::Aes256Impl* impl : fuzz::otherImpls()) {
    fuzz::require(roundTrips(*impl, mode, scheme, noPadding, key, iv, plain) == cipherText);
  }
  return 0;
}
