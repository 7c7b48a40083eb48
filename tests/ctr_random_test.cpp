#include "unseal/ctr_random.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/aes_impls.h"
#include "support/engine_cases.h"
#include "support/oracle.h"
#include "support/vectors.h"

namespace unseal {
namespace {

using test::toHex;

const std::string& kKey = test::kRandomKey;
const std::string& kCounter = test::kRandomCounter;

std::string xorBytes(std::string a, std::string_view b) {
  for (std::size_t i = 0; i < a.size(); ++i) a[i] = static_cast<char>(a[i] ^ b[i]);
  return a;
}

// AES-256 of start, start + 1, start + 2 ... (byte 0 least significant): the
// keystream of the low-byte-first counter mode over zero bytes.
std::string expectedOutput(const std::string& key, const std::string& start, std::size_t n) {
  return test::referenceModeCipher(CTR, key, start, std::string(n, '\0'), true);
}

std::string aesOf(const std::string& key, const std::string& block) {
  return test::opensslCipher("aes-256-ecb", key, "", block, true);
}

class CtrRandomTest : public test::OnEachImpl {};

TEST_P(CtrRandomTest, HandsOutEncryptionsOfSuccessiveCounterValues) {
  const std::string zero(16, '\0');
  // A seed equal to the built-in counter starts the counter at zero.
  CtrRandom fromZero = bound(CtrRandom(kCounter, ""));
  const std::string out = fromZero.randomText(200);
  ASSERT_EQ(out.size(), 200u);
  EXPECT_EQ(toHex(out.substr(0, 16)), toHex(aesOf(kKey, zero)));
  EXPECT_EQ(toHex(out.substr(16, 16)), toHex(aesOf(kKey, '\x01' + std::string(15, '\0'))));
  EXPECT_EQ(toHex(out), toHex(expectedOutput(kKey, zero, 200)));

  // Without a seed the counter starts at the built-in value.
  CtrRandom unseeded = bound(CtrRandom("", ""));
  EXPECT_EQ(toHex(unseeded.randomText(100)), toHex(expectedOutput(kKey, kCounter, 100)));

  // Sixteen 0xFF bytes are followed by sixteen zero bytes.
  CtrRandom wrapping = bound(CtrRandom(xorBytes(kCounter, std::string(16, '\xff')), ""));
  const std::string wrapped = wrapping.randomText(48);
  EXPECT_EQ(toHex(wrapped.substr(0, 16)), toHex(aesOf(kKey, std::string(16, '\xff'))));
  EXPECT_EQ(toHex(wrapped.substr(16, 16)), toHex(aesOf(kKey, zero)));
}

// However the requests are cut (zero-length ones included) and whichever
// call serves them, the bytes continue one sequence.
TEST_P(CtrRandomTest, SplitRequestsContinueOneSequence) {
  const std::string seed = test::randomBytes(16, 11);
  const std::vector<std::vector<std::size_t>> splits = {
      {10, 6},      {100, 28, 40},        {0, 16}, {0, 0, 64, 0, 1}, {1, 63, 1, 64, 7},
      {64, 64, 64}, {16, 16, 16, 16, 16}, {200}};
  for (const auto& split : splits) {
    CtrRandom random = bound(CtrRandom(seed, ""));
    std::string drawn;
    for (std::size_t i = 0; i < split.size(); ++i) {
      std::string piece(split[i], '\0');
      if (i % 2 == 0) {
        auto* dest = reinterpret_cast<std::uint8_t*>(piece.data());
        EXPECT_EQ(random.fill(dest, piece.size()), dest);
      } else {
        piece = random.randomText(split[i]);
        EXPECT_EQ(piece.size(), split[i]);
      }
      drawn += piece;
    }
    EXPECT_EQ(toHex(drawn), toHex(expectedOutput(kKey, xorBytes(kCounter, seed), drawn.size())))
        << "split starting " << split[0] << " of " << split.size();
  }
}

TEST_P(CtrRandomTest, FillBlockTakesTheNextSixteenBytesAndKeepsFillLength) {
  CtrRandom random = bound(CtrRandom("", ""));
  const std::string expected = expectedOutput(kKey, kCounter, 35);
  std::uint8_t first[3];
  random.fill(first, 3);
  for (const std::uint64_t fill : {0u, 5u}) {
    Block16 block;
    block.setFillLength(fill);
    random.fillBlock(block);
    EXPECT_EQ(block.fillLength(), fill);
    EXPECT_EQ(toHex(block.toText(false)), toHex(expected.substr(fill == 0 ? 3 : 19, 16)));
  }
}

// Seeds and key texts: which are refused (the seed is looked at first), and
// that only the first 16 seed bytes and the first 32 key bytes count.
TEST_P(CtrRandomTest, SeedAndKeyText) {
  const char* const kShortSeed = "Seed must consist of (at least) 16 bytes";
  const char* const kShortKey = "Key must contain at least 32 bytes of data";
  const struct {
    std::size_t seedLength, keyLength;
    const char* refusal;
  } cases[] = {{15, 0, kShortSeed}, {1, 0, kShortSeed}, {15, 31, kShortSeed}, {0, 31, kShortKey},
               {0, 1, kShortKey},   {0, 0, nullptr},    {16, 0, nullptr},     {20, 0, nullptr},
               {0, 32, nullptr},    {0, 40, nullptr},   {20, 40, nullptr}};
  for (const auto& c : cases) {
    const std::string seed = test::randomBytes(c.seedLength, 7);
    const std::string keyText = test::randomBytes(c.keyLength, 8);
    if (c.refusal != nullptr) {
      EXPECT_REFUSED(CtrRandom(seed, keyText), c.refusal);
      continue;
    }
    CtrRandom random = bound(CtrRandom(seed, keyText));
    const std::string key = c.keyLength == 0 ? kKey : keyText.substr(0, 32);
    const std::string counter = c.seedLength == 0 ? kCounter : xorBytes(kCounter, seed.substr(0, 16));
    EXPECT_EQ(toHex(random.randomText(80)), toHex(expectedOutput(key, counter, 80)))
        << "seed " << c.seedLength << ", key text " << c.keyLength;
  }
}

TEST_P(CtrRandomTest, ReseedRestartsFromTheNewCounterUnderTheSameKey) {
  const std::string keyText = test::randomBytes(32, 3), seed = test::randomBytes(20, 4);
  CtrRandom random = bound(CtrRandom("", keyText));
  const std::string first = random.randomText(37);
  EXPECT_REFUSED(random.reseed(""), "Seed must consist of (at least) 16 bytes");
  EXPECT_REFUSED(random.reseed(seed.substr(0, 15)), "Seed must consist of (at least) 16 bytes");
  // A refused reseed changes nothing: the sequence goes on.
  EXPECT_EQ(toHex(first + random.randomText(20)), toHex(expectedOutput(keyText, kCounter, 57)));
  random.reseed(seed);
  EXPECT_EQ(toHex(random.randomText(100)),
            toHex(expectedOutput(keyText, xorBytes(kCounter, seed.substr(0, 16)), 100)));
  random.reseed(seed);
  EXPECT_EQ(toHex(random.randomText(16)), toHex(bound(CtrRandom(seed, keyText)).randomText(16)));
}

INSTANTIATE_ON_EACH_IMPL(CtrRandomTest);

}  // namespace
}  // namespace unseal
