// Decryption of arbitrary bytes with arbitrary key, IV, mode, padding scheme
// and noPadding, through decryptText and decryptStream. Nothing may crash,
// and the only exception let out is invalid_argument with a library sentence.
// Every AES-256 implementation the machine runs makes the same of the input.
#include <fuzzer/FuzzedDataProvider.h>

#include <sstream>

#include "fuzz_support.h"
#include "unseal/cipher_engine.h"

namespace {

// What decryption on one implementation makes of the input: the plaintexts
// of both transforms, or the sentences they raised.
std::string decryptions(const unseal::detail::Aes256Impl& impl, std::int32_t mode, std::int32_t padding,
                        bool noPadding, const std::string& key, const std::string& iv,
                        const std::string& cipherText) {
  using namespace unseal;
  std::string transcript;
  try {
    CipherEngine engine = detail::boundTo(impl, CipherEngine(key, mode, padding));
    engine.setIv(iv);
    try {
      const std::string plain = engine.decryptText(cipherText, noPadding);
      fuzz::require(plain.size() <= cipherText.size());
      if (!engine.modePads()) fuzz::require(plain.size() == cipherText.size());
      transcript = plain;
    } catch (const std::invalid_argument& e) {
      fuzz::requireLibrarySentence(e);
      transcript = e.what();
    }
    std::istringstream stream(cipherText);
    std::ostringstream out;
    engine.decryptStream(stream, out, noPadding);
    fuzz::require(out.str().size() <= cipherText.size());
    transcript += "|" + out.str();
  } catch (const std::invalid_argument& e) {
    fuzz::requireLibrarySentence(e);
    transcript += std::string("|") + e.what();
  }
  return transcript;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace unseal;
  FuzzedDataProvider in(data, size);
  const auto mode = in.ConsumeIntegralInRange<std::int32_t>(-1, 7);
  const auto padding = in.ConsumeIntegralInRange<std::int32_t>(-1, 4);
  const bool noPadding = in.ConsumeBool();
  const std::string key = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<std::size_t>(30, 40));
  const std::string iv = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<std::size_t>(0, 20));
  const std::string cipherText = in.ConsumeRemainingBytesAsString();
  // Every implementation the machine runs, each making the same of it. Each
  // starts from the same padding setting, which a fresh engine's IV shows.
  const std::int32_t setting = Block16::currentPaddingScheme();
  const std::string reference =
      decryptions(detail::aes256Portable, mode, padding, noPadding, key, iv, cipherText);
  for (const detail::Aes256Impl* impl : fuzz::otherImpls()) {
    Block16::setPaddingScheme(setting);
    fuzz::require(decryptions(*impl, mode, padding, noPadding, key, iv, cipherText) == reference);
  }
  return 0;
}
