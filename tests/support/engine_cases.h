// What the text and stream transform tests sweep, and what the engine must
// make of it: the modes and padding schemes, the text lengths, the bytes a mode
// that pads actually encrypts, and what decryption gives back.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "support/aes_impls.h"
#include "support/oracle.h"
#include "support/vectors.h"
#include "unseal/cipher_engine.h"

// Expects the expression to raise invalid_argument with exactly this message.
#define EXPECT_REFUSED(statement, message)                 \
  do {                                                     \
    try {                                                  \
      (void)(statement);                                   \
      ADD_FAILURE() << "accepted: " #statement;            \
    } catch (const std::invalid_argument& refusal) {       \
      EXPECT_STREQ(refusal.what(), message) << #statement; \
    }                                                      \
  } while (0)

namespace unseal::test {

inline constexpr std::int32_t kModes[] = {ECB, CBC, PCBC, CFB, CFB8, OFB, CTR};
inline constexpr std::int32_t kSchemes[] = {PKCS7, ANSIX923, ISO7816_4, Zeros};
inline constexpr const char* kModeNames[] = {"ECB", "CBC", "PCBC", "CFB", "CFB8", "OFB", "CTR"};
inline constexpr const char* kSchemeNames[] = {"PKCS7", "ANSIX923", "ISO7816_4", "Zeros"};

inline bool padsOutput(std::int32_t mode) { return mode == ECB || mode == CBC || mode == PCBC; }

// Every length up to five blocks, and two long texts.
inline std::vector<std::size_t> sweepLengths() {
  std::vector<std::size_t> lengths;
  for (std::size_t n = 0; n <= 80; ++n) lengths.push_back(n);
  lengths.push_back(1000);
  lengths.push_back(4096 + 5);
  return lengths;
}

// A plaintext whose final byte is not zero (zero padding then strips exactly).
inline std::string plaintext(std::size_t n, unsigned seed) {
  std::string text = randomBytes(n, seed);
  if (n > 0) text.back() = static_cast<char>(text.back() | 1);
  return text;
}

// The k bytes a scheme writes at the end of a 16-byte block.
inline std::string paddingBytes(std::int32_t scheme, std::size_t k) {
  switch (scheme) {
    case PKCS7: return std::string(k, static_cast<char>(k));
    case ANSIX923: return std::string(k - 1, '\0') + static_cast<char>(k);
    case ISO7816_4: return '\x80' + std::string(k - 1, '\0');
    default: return std::string(k, '\0');
  }
}

// The bytes a mode that pads encrypts for text: the short final block filled
// by the scheme, or a whole block of padding after an aligned text.
inline std::string paddedText(std::string_view text, std::int32_t scheme, bool noPadding) {
  const std::size_t rest = text.size() % 16;
  if (rest == 0 && noPadding) return std::string(text);
  return std::string(text) + paddingBytes(scheme, 16 - rest);
}

// What decrypting the encryption of a plaintext() gives back with the same
// noPadding: the fill bytes stay when nothing is stripped, and a whole block
// of zero padding strips to the one zero byte that stripping always keeps.
inline std::string roundTrip(std::string_view text, std::int32_t mode, std::int32_t scheme, bool noPadding) {
  if (!padsOutput(mode)) return std::string(text);
  if (noPadding) return paddedText(text, scheme, true);
  if (scheme == Zeros && text.size() % 16 == 0) return std::string(text) + '\0';
  return std::string(text);
}

// The generator's built-in key and counter.
inline const std::string kRandomKey(reinterpret_cast<const char*>(defaultRandomKey), 32);
inline const std::string kRandomCounter(reinterpret_cast<const char*>(defaultRandomCounter), 16);

// The first count automatic IVs of an engine whose generator starts at
// counter: AES-256 of the counter and its successors under the built-in key.
inline std::string drawnIvs(std::size_t count, const std::string& counter = kRandomCounter) {
  return referenceModeCipher(CTR, kRandomKey, counter, std::string(16 * count, '\0'), true);
}

// Every implementation, mode and scheme, as parameters of a test named
// "CBC_PKCS7_vaes" and so on.
using ImplModeScheme = std::tuple<const detail::Aes256Impl*, std::int32_t, std::int32_t>;

inline auto everyImplModeAndScheme() {
  return ::testing::Combine(::testing::ValuesIn(availableImpls()), ::testing::ValuesIn(kModes),
                            ::testing::ValuesIn(kSchemes));
}

inline std::string modeSchemeName(const ::testing::TestParamInfo<ImplModeScheme>& info) {
  return std::string(kModeNames[std::get<1>(info.param)]) + "_" + kSchemeNames[std::get<2>(info.param)] +
         "_" + implName(*std::get<0>(info.param));
}

}  // namespace unseal::test
