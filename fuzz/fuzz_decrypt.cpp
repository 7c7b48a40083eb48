// Decryption of arbitrary bytes with arbitrary key, IV, mode, padding scheme
// and noPadding, through decryptText and decryptStream. Nothing may crash,
// and the only exception let out is invalid_argument with a library sentence.
#include <fuzzer/FuzzedDataProvider.h>

#include <sstream>

#include "cipher/cipher_engine.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace unseal;
  FuzzedDataProvider in(data, size);
  const auto mode = in.ConsumeIntegralInRange<std::int32_t>(-1, 7);
  const auto padding = in.ConsumeIntegralInRange<std::int32_t>(-1, 4);
  const bool noPadding = in.ConsumeBool();
  const std::string key = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<std::size_t>(30, 40));
  const std::string iv = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<std::size_t>(0, 20));
  const std::string cipherText = in.ConsumeRemainingBytesAsString();
  try {
    CipherEngine engine(key, mode, padding);
    engine.setIv(iv);
    try {
      const std::string plain = engine.decryptText(cipherText, noPadding);
      fuzz::require(plain.size() <= cipherText.size());
      if (!engine.modePads()) fuzz::require(plain.size() == cipherText.size());
    } catch (const std::invalid_argument& e) {
      fuzz::requireLibrarySentence(e);
    }
    std::istringstream stream(cipherText);
    std::ostringstream out;
    engine.decryptStream(stream, out, noPadding);
    fuzz::require(out.str().size() <= cipherText.size());
  } catch (const std::invalid_argument& e) {
    fuzz::requireLibrarySentence(e);
  }
  return 0;
}
