#include "unseal/cipher_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "support/engine_cases.h"
#include "support/oracle.h"
#include "support/padding_guard.h"
#include "support/vectors.h"
#include "unseal/system_random.h"

namespace unseal {
namespace {

using test::PaddingGuard;
using test::referenceModeCipher;
using test::toHex;

constexpr const char* kBadLength = "Length of string to decrypt is incorrect";
constexpr const char* kGarbled = "String to decrypt is garbled";

using BufferTransform = std::size_t (CipherEngine::*)(std::span<const std::uint8_t>, std::span<std::uint8_t>,
                                                      bool);

// A buffer transform of `input` into an output of outSize bytes, apart from
// the input or over it (in place); what it wrote.
std::string intoBuffer(CipherEngine& engine, BufferTransform transform, const std::string& input,
                       std::size_t outSize, bool inPlace, bool noPadding) {
  std::vector<std::uint8_t> in(input.begin(), input.end()), out(std::max(outSize, input.size()), 0xA5);
  if (inPlace) std::copy(input.begin(), input.end(), out.begin());
  const std::span<const std::uint8_t> from = inPlace ? std::span(out.data(), input.size()) : std::span(in);
  const std::size_t written = (engine.*transform)(from, std::span(out.data(), outSize), noPadding);
  return std::string(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(written));
}

class TextTransforms : public ::testing::TestWithParam<test::ImplModeScheme> {};

class EngineTest : public test::OnEachImpl {};

// Every mode, scheme, noPadding and length against OpenSSL: the modes that
// pad encrypt the text filled up by the scheme, the others give as many bytes
// as they get. Every ciphertext decrypts back, on a fresh engine given the same
// key and IV, to the text (with the fill bytes when nothing is stripped).
// The buffer transforms, apart and in place, write the same bytes and leave
// the same state as the text transforms.
TEST_P(TextTransforms, MatchOpensslAndRoundTrip) {
  const auto [impl, mode, scheme] = GetParam();
  const std::string keyText = test::randomBytes(40, 1), key = keyText.substr(0, 32);
  const std::string iv = test::randomBytes(16, 2);
  PaddingGuard guard;
  CipherEngine engine = detail::boundTo(*impl, CipherEngine(keyText, mode, scheme));
  for (const bool noPadding : {false, true}) {
    for (const std::size_t n : test::sweepLengths()) {
      SCOPED_TRACE(::testing::Message() << "length " << n << ", noPadding " << noPadding);
      const std::string text = test::plaintext(n, static_cast<unsigned>(n));
      engine.setIv(iv);
      const std::string cipher = engine.encryptText(text, noPadding);
      const std::string fed = test::padsOutput(mode) ? test::paddedText(text, scheme, noPadding) : text;
      ASSERT_EQ(toHex(cipher), toHex(referenceModeCipher(mode, key, iv, fed, true)));

      CipherEngine reader = detail::boundTo(*impl, CipherEngine(keyText, mode, scheme));
      reader.setIv(iv);
      const std::string plain = reader.decryptText(cipher, noPadding);
      ASSERT_EQ(toHex(plain), toHex(test::roundTrip(text, mode, scheme, noPadding)));

      ASSERT_EQ(engine.encryptedLength(n, noPadding), cipher.size());
      const std::string encryptedState = engine.getIv(), decryptedState = reader.getIv();
      for (const bool inPlace : {false, true}) {
        engine.setIv(iv);
        ASSERT_EQ(
            toHex(intoBuffer(engine, &CipherEngine::encryptInto, text, cipher.size(), inPlace, noPadding)),
            toHex(cipher));
        EXPECT_EQ(toHex(engine.getIv()), toHex(encryptedState));
        reader.setIv(iv);
        ASSERT_EQ(
            toHex(intoBuffer(reader, &CipherEngine::decryptInto, cipher, cipher.size(), inPlace, noPadding)),
            toHex(plain));
        EXPECT_EQ(toHex(reader.getIv()), toHex(decryptedState));
      }
      std::vector<std::byte> bytes(cipher.size());  // the std::byte forms, in place
      std::ranges::transform(text, bytes.begin(), [](char c) { return std::byte(c); });
      engine.setIv(iv), reader.setIv(iv);
      const auto hex = [&](std::size_t w) { return toHex({reinterpret_cast<char*>(bytes.data()), w}); };
      ASSERT_EQ(hex(engine.encryptInto(std::span(bytes).first(n), bytes, noPadding)), toHex(cipher));
      ASSERT_EQ(hex(reader.decryptInto(bytes, bytes, noPadding)), toHex(plain));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllModesAndSchemes, TextTransforms, test::everyImplModeAndScheme(),
                         test::modeSchemeName);

// Which ciphertext lengths decryptText takes, per mode: those encryptText can
// produce. A refused length changes nothing, not even the IV.
TEST_P(EngineTest, DecryptTextRefusesLengthsByMode) {
  const std::size_t lengths[] = {0, 1, 15, 16, 17, 20, 31, 32, 33, 48};
  const std::vector<std::size_t> all(std::begin(lengths), std::end(lengths));
  const struct {
    std::int32_t mode;
    bool noPadding;
    std::vector<std::size_t> accepted;
  } cases[] = {
      {ECB, false, {16, 32, 48}},  {ECB, true, {0, 16, 32, 48}},
      {CBC, false, {16, 32, 48}},  {CBC, true, {0, 16, 32, 48}},
      {PCBC, false, {16, 32, 48}}, {PCBC, true, {0, 16, 32, 48}},
      {CFB, false, all},           {CFB8, true, all},
      {OFB, false, all},           {CTR, true, all},
  };
  PaddingGuard guard;
  const std::string iv = test::randomBytes(16, 3);
  for (const auto& c : cases) {
    CipherEngine engine =
        bound(CipherEngine(test::randomBytes(32, 4), c.mode, Zeros));  // zero padding never fails to strip
    for (const std::size_t n : lengths) {
      engine.setIv(iv);
      const std::string text = test::randomBytes(n, 5);
      const bool accepted = std::find(c.accepted.begin(), c.accepted.end(), n) != c.accepted.end();
      if (accepted) {
        EXPECT_NO_THROW((void)engine.decryptText(text, c.noPadding)) << c.mode << " " << n;
      } else {
        EXPECT_REFUSED(engine.decryptText(text, c.noPadding), kBadLength);
        EXPECT_EQ(engine.getIv(), iv) << c.mode << " " << n;
      }
    }
  }
}

// The chaining state carries from call to call in both directions.
TEST_P(EngineTest, ChainingStateCarriesAcrossCalls) {
  PaddingGuard guard;
  const std::string iv = test::randomBytes(16, 6);
  const std::string first = test::randomBytes(32, 7), second = test::randomBytes(37, 8);
  for (const std::int32_t mode : test::kModes) {
    CipherEngine engine = bound(CipherEngine(test::randomBytes(32, 9), mode, PKCS7));
    engine.setIv(iv);
    const std::string a = engine.encryptText(first, true);
    const std::string b = engine.encryptText(second, true);
    engine.setIv(iv);
    EXPECT_EQ(toHex(a + b), toHex(engine.encryptText(first + second, true))) << mode;
    engine.setIv(iv);
    const std::string plainA = engine.decryptText(a, true);
    const std::string plainB = engine.decryptText(b, true);
    engine.setIv(iv);
    EXPECT_EQ(toHex(plainA + plainB), toHex(engine.decryptText(a + b, true))) << mode;
  }
}

// Without setIv, encryption in a mode other than ECB starts from the next
// 16 bytes of the engine's generator: the same for every unseeded engine,
// whatever its key, and moved by a seed. Decryption never draws.
TEST_P(EngineTest, AutomaticIvsComeFromTheGenerator) {
  PaddingGuard guard;
  const std::string ivs = test::drawnIvs(4);
  const std::string iv = test::randomBytes(16, 10);
  for (const unsigned keySeed : {11u, 12u}) {
    // CTR over the empty text draws and then processes no block, so the IV
    // shows the draw.
    CipherEngine engine = bound(CipherEngine(test::randomBytes(32, keySeed), CTR, PKCS7));
    EXPECT_EQ(engine.encryptText("", false), "");
    EXPECT_EQ(toHex(engine.getIv()), toHex(ivs.substr(0, 16)));
    (void)engine.encryptText("", false);
    EXPECT_EQ(toHex(engine.getIv()), toHex(ivs.substr(16, 16)));  // drawing keeps drawing on
    engine.setIv(iv);
    (void)engine.encryptText("", false);
    EXPECT_EQ(toHex(engine.getIv()), toHex(iv));  // an installed IV turns it off
    engine.setIv("");
    (void)engine.encryptText("", false);
    EXPECT_EQ(toHex(engine.getIv()), toHex(ivs.substr(32, 16)));   // and "" back on
    EXPECT_EQ(toHex(engine.drawIv()), toHex(ivs.substr(48, 16)));  // drawIv hands out the next
    (void)engine.encryptText("", false);
    EXPECT_EQ(toHex(engine.getIv()), toHex(ivs.substr(48, 16)));  // installed, drawing off
  }
  const std::string seed = test::randomBytes(20, 13);
  CipherEngine seeded = bound(CipherEngine(test::randomBytes(32, 14), seed, CTR, PKCS7));
  (void)seeded.encryptText("", false);
  std::string counter = test::kRandomCounter;
  for (std::size_t i = 0; i < 16; ++i) counter[i] = static_cast<char>(counter[i] ^ seed[i]);
  EXPECT_EQ(toHex(seeded.getIv()), toHex(test::drawnIvs(1, counter)));
  // So whoever sees one IV predicts the next: it decrypts under the public key
  // to the counter. Not so with system random IVs, which differ per engine.
  const auto draw = [](auto&& engine) { return (engine.encryptText("", false), engine.getIv()); };
  const auto nextPredicted = [&](CipherEngine engine) {
    const std::string counter = referenceModeCipher(ECB, test::kRandomKey, "", draw(engine), false);
    return draw(engine) == test::drawnIvs(2, counter).substr(16);
  };
  const auto systemRandom = [&] { return bound(CipherEngine::withSystemRandomIvs(seed + seed, CTR, PKCS7)); };
  EXPECT_TRUE(nextPredicted(seeded));
  EXPECT_FALSE(nextPredicted(systemRandom()));
  EXPECT_NE(draw(systemRandom()), draw(systemRandom()));

  // In CBC two encryptions of one text differ; each leaves its last block.
  const std::string key = test::randomBytes(32, 15), text = test::randomBytes(40, 16);
  const std::string padded = test::paddedText(text, PKCS7, false);
  CipherEngine cbc = bound(CipherEngine(key, CBC, PKCS7));
  std::string previous;
  for (std::size_t call = 0; call < 3; ++call) {
    const std::string cipher = cbc.encryptText(text, false);
    EXPECT_EQ(toHex(cipher), toHex(referenceModeCipher(CBC, key, ivs.substr(16 * call, 16), padded, true)));
    EXPECT_EQ(toHex(cbc.getIv()), toHex(cipher.substr(cipher.size() - 16)));
    EXPECT_NE(cipher, previous);
    previous = cipher;
    (void)cbc.decryptText(cipher, true);  // draws nothing: the next call takes the next IV
  }

  // ECB never draws.
  CipherEngine ecb = bound(CipherEngine(key, ECB, PKCS7));
  const std::string before = ecb.getIv();
  (void)ecb.encryptText(text, false);
  EXPECT_EQ(ecb.getIv(), before);
}

// A new engine's IV is the padding of the scheme in force before it was
// built; the scheme it is given takes over afterwards.
TEST_P(EngineTest, FreshIvIsPaddingOfThePreviousScheme) {
  const struct {
    std::int32_t before;
    std::string ivHex;
  } cases[] = {{PKCS7, "10101010101010101010101010101010"},
               {ANSIX923, std::string(30, '0') + "10"},
               {ISO7816_4, "80" + std::string(30, '0')},
               {Zeros, std::string(32, '0')},
               {7, std::string(32, '0')}};
  const std::string key = test::randomBytes(32, 17), text = test::randomBytes(30, 18);
  for (const auto& c : cases) {
    PaddingGuard guard(c.before);
    CipherEngine engine = bound(CipherEngine(key, CBC, ANSIX923));
    EXPECT_EQ(toHex(engine.getIv()), c.ivHex) << c.before;
    EXPECT_EQ(Block16::currentPaddingScheme(), ANSIX923);
    // Decryption of a fresh engine starts from that IV.
    const std::string cipher =
        referenceModeCipher(CBC, key, test::fromHex(c.ivHex), test::paddedText(text, ANSIX923, false), true);
    EXPECT_EQ(toHex(engine.decryptText(cipher, false)), toHex(text)) << c.before;
  }
}

TEST_P(EngineTest, SetIv) {
  PaddingGuard guard;
  const std::string iv = test::randomBytes(17, 19);
  CipherEngine engine = bound(CipherEngine(test::randomBytes(32, 20), CTR, PKCS7));
  engine.setIv(iv);
  EXPECT_EQ(toHex(engine.getIv()), toHex(iv.substr(0, 16)));
  for (std::size_t n = 1; n < 16; ++n) {
    EXPECT_REFUSED(engine.setIv(test::randomBytes(n, 21)), "IV must contain at least 16 bytes of data");
  }
  // Nothing changed: neither the IV nor the choice not to draw one.
  (void)engine.encryptText("", false);
  EXPECT_EQ(toHex(engine.getIv()), toHex(iv.substr(0, 16)));
}

// Refused constructions, in the order the checks run: key, seed, mode. None
// of them touches the padding setting.
TEST_P(EngineTest, RefusedConstructionLeavesThePaddingAlone) {
  const char* const kShortKey = "Key must contain at least 32 bytes of data";
  const char* const kShortSeed = "Seed must consist of (at least) 16 bytes";
  const char* const kBadMode = "Invalid chaining mode requested";
  const struct {
    std::size_t keyLength;
    int seedLength;  // -1: the constructor without seed
    std::int32_t mode;
    const char* refusal;
  } cases[] = {{31, -1, CBC, kShortKey}, {0, -1, CBC, kShortKey}, {31, -1, 7, kShortKey},
               {32, -1, 7, kBadMode},    {32, -1, -1, kBadMode},  {32, -1, INT_MIN, kBadMode},
               {31, 15, 7, kShortKey},   {32, 15, 7, kShortSeed}, {32, 1, CBC, kShortSeed},
               {32, 16, 7, kBadMode},    {40, 0, -1, kBadMode}};
  for (const auto& c : cases) {
    PaddingGuard guard(ANSIX923);
    const std::string key = test::randomBytes(c.keyLength, 22);
    if (c.seedLength < 0) {
      EXPECT_REFUSED(CipherEngine(key, c.mode, PKCS7), c.refusal);
    } else {
      const std::string seed = test::randomBytes(static_cast<std::size_t>(c.seedLength), 23);
      EXPECT_REFUSED(CipherEngine(key, seed, c.mode, PKCS7), c.refusal);
    }
    EXPECT_EQ(Block16::currentPaddingScheme(), ANSIX923);
  }
}

TEST_P(EngineTest, KeyAndModeAccessors) {
  PaddingGuard guard;
  const std::string keyText = test::randomBytes(40, 24);
  for (const std::int32_t mode : test::kModes) {
    const CipherEngine engine = bound(CipherEngine(keyText, mode, PKCS7));
    EXPECT_EQ(toHex(engine.getKey()), toHex(keyText.substr(0, 32)));
    EXPECT_EQ(engine.modePads(), mode <= PCBC) << mode;
  }
}

// The padding scheme is process-wide: building a second engine changes how
// the first pads and strips.
TEST_P(EngineTest, LaterEngineChangesHowEarlierOnesPad) {
  PaddingGuard guard;
  const std::string key = test::randomBytes(32, 25), iv = test::randomBytes(16, 26);
  CipherEngine first = bound(CipherEngine(key, CBC, Zeros));
  const CipherEngine second = bound(CipherEngine(key, ECB, PKCS7));
  const std::string text = test::plaintext(19, 31), padded = text + std::string(13, '\x0d');
  first.setIv(iv);
  const std::string cipher = first.encryptText(text, false);
  EXPECT_EQ(toHex(cipher), toHex(referenceModeCipher(CBC, key, iv, padded, true)));
  first.setIv(iv);
  EXPECT_EQ(toHex(first.decryptText(cipher, false)), toHex(text));
  const CipherEngine third = bound(CipherEngine(key, ECB, Zeros));
  first.setIv(iv);
  EXPECT_EQ(toHex(first.decryptText(cipher, false)), toHex(padded));  // 0x0d is not zero padding
}

// Zero padding cannot tell trailing zero bytes of the text from padding, and
// always keeps one byte.
TEST_P(EngineTest, ZeroPaddingLosesTrailingZeros) {
  const struct {
    std::string text, back;
  } cases[] = {{std::string("abc\0\0", 5), "abc"},
               {std::string(3, '\0'), std::string(1, '\0')},
               // Only the final block is stripped: here a whole block of padding.
               {"abc" + std::string(13, '\0'), "abc" + std::string(14, '\0')}};
  PaddingGuard guard;
  CipherEngine engine = bound(CipherEngine(test::randomBytes(32, 27), ECB, Zeros));
  for (const auto& c : cases) {
    EXPECT_EQ(toHex(engine.decryptText(engine.encryptText(c.text, false), false)), toHex(c.back));
  }
}

// An output too small by a byte, or sharing memory with the input without
// starting where it starts, is refused before anything changes: no IV is
// drawn, the output is untouched. Outputs that touch the input only at its
// edges are taken.
TEST_P(EngineTest, BufferTransformsRefuseOutputs) {
  const char* const kSmall = "Output buffer is too small";
  const char* const kOverlap = "Output buffer overlaps the input";
  PaddingGuard guard;
  for (const std::int32_t mode : test::kModes) {
    for (const bool encrypt : {true, false}) {
      CipherEngine engine = bound(CipherEngine(test::randomBytes(32, 32), mode, PKCS7));
      const std::size_t n = encrypt ? 33 : 48;
      const std::size_t needed = encrypt ? engine.encryptedLength(n, true) : n;
      const BufferTransform transform =
          encrypt ? BufferTransform{&CipherEngine::encryptInto} : BufferTransform{&CipherEngine::decryptInto};
      const auto in = static_cast<std::ptrdiff_t>(needed);  // where the input stands in the buffer
      const struct {
        std::ptrdiff_t outAt;
        std::size_t outSize;
        const char* refusal;
      } cases[] = {{2 * in, needed - 1, kSmall},                            // apart, one byte short
                   {in + 1, needed, kOverlap},                              // over the input's tail
                   {1, needed, kOverlap},                                   // over its first byte
                   {in + static_cast<std::ptrdiff_t>(n), needed, nullptr},  // right behind it
                   {0, needed, nullptr},                                    // right in front of it
                   {in, needed, nullptr}};                                  // in place
      for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << "mode " << mode << ", encrypt " << encrypt << ", output at " << c.outAt - in);
        std::vector<std::uint8_t> buffer(4 * needed, 0xA5);
        const std::string input = test::randomBytes(n, 33);
        std::copy(input.begin(), input.end(), buffer.begin() + in);
        const std::vector<std::uint8_t> before = buffer;
        const std::string iv = engine.getIv();
        const std::span<const std::uint8_t> from(buffer.data() + in, n);
        const std::span<std::uint8_t> to(buffer.data() + c.outAt, c.outSize);
        if (c.refusal == nullptr) {
          EXPECT_EQ((engine.*transform)(from, to, true), needed);
          continue;
        }
        EXPECT_REFUSED((engine.*transform)(from, to, true), c.refusal);
        EXPECT_TRUE(buffer == before);
        EXPECT_EQ(toHex(engine.getIv()), toHex(iv));
      }
    }
  }
}

// Malformed padding in the final block: every block has been decrypted (the
// IV holds the state after the last one) and the engine stays usable.
// decryptInto zeroes the plaintext it wrote.
TEST_P(EngineTest, GarbledFinalBlock) {
  PaddingGuard guard;
  const std::string iv = test::randomBytes(16, 28);
  const std::string text = test::randomBytes(29, 29) + "\x04\x03\x03";
  for (const std::int32_t mode : {ECB, CBC, PCBC}) {
    CipherEngine engine = bound(CipherEngine(test::randomBytes(32, 30), mode, PKCS7));
    engine.setIv(iv);
    const std::string cipher = engine.encryptText(text, true);
    const std::string state = engine.getIv();
    engine.setIv(iv);
    EXPECT_REFUSED(engine.decryptText(cipher, false), kGarbled);
    EXPECT_EQ(toHex(engine.getIv()), toHex(state)) << mode;
    engine.setIv(iv);
    std::vector<std::uint8_t> out(cipher.size(), 0xA5);
    EXPECT_REFUSED(
        engine.decryptInto(std::span(reinterpret_cast<const std::uint8_t*>(cipher.data()), cipher.size()),
                           out, false),
        kGarbled);
    EXPECT_EQ(std::count(out.begin(), out.end(), 0), 16) << mode;  // the block in front of the final one
    engine.setIv(iv);
    EXPECT_EQ(toHex(engine.decryptText(cipher, true)), toHex(text)) << mode;
  }
}

INSTANTIATE_ON_EACH_IMPL(EngineTest);

TEST(SystemRandom, SixteenFreshBytes) {
  const std::string a = systemRandomBytes16(), b = systemRandomBytes16();
  EXPECT_EQ(a.size(), 16u);
  EXPECT_EQ(b.size(), 16u);
  EXPECT_NE(a, b);
}

}  // namespace
}  // namespace unseal
