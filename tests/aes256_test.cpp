#include "unseal/aes256.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "cipher/aes256_impl.h"
#include "support/aes_impls.h"
#include "support/oracle.h"
#include "support/vectors.h"

namespace unseal {
namespace {

using test::fromHex;
using test::publishedVectors;
using test::toHex;

Block16 blockOf(std::string_view bytes) { return Block16::fromText(bytes, 0); }

class Aes256Test : public test::OnEachImpl {};

TEST_P(Aes256Test, Fips197Example) {
  const auto& v = publishedVectors();
  const Aes256 aes = bound(Aes256(v.at("fips197.key")));
  EXPECT_EQ(toHex(aes.encrypted(blockOf(v.at("fips197.plain"))).toText(false)),
            toHex(v.at("fips197.cipher")));
  EXPECT_EQ(toHex(aes.decrypted(blockOf(v.at("fips197.cipher"))).toText(false)),
            toHex(v.at("fips197.plain")));
  // Round key 14, then the four words the same schedule step yields next.
  EXPECT_EQ(toHex(aes.decryptionKey().toText(false)),
            "24fc79ccbf0979e9371ac23c6d68de36721f7b9cdbed347ca5ba1fd66842d23c");
  EXPECT_EQ(aes.encryptionKey().toText(false), v.at("fips197.key"));
}

// Thousands of random keys and blocks against OpenSSL, both directions. Key
// texts run from 32 to 40 bytes; only the first 32 may count.
TEST_P(Aes256Test, MatchesOpensslEcb) {
  std::mt19937 gen(2024);
  for (unsigned i = 0; i < 3000; ++i) {
    const std::string keyText = test::randomBytes(32 + gen() % 9, i);
    const std::string plain = test::randomBytes(16, i + 100000);
    const std::string key32 = keyText.substr(0, 32);
    const Aes256 aes = bound(Aes256(keyText));
    const std::string expected = test::opensslCipher("aes-256-ecb", key32, "", plain, true);
    ASSERT_EQ(toHex(aes.encrypted(blockOf(plain)).toText(false)), toHex(expected)) << i;
    ASSERT_EQ(toHex(aes.decrypted(blockOf(plain)).toText(false)),
              toHex(test::opensslCipher("aes-256-ecb", key32, "", plain, false)))
        << i;
  }
}

// encryptBlocks in place, for counts that fill each batch size and leave each
// remainder, against OpenSSL; the bytes after the last block stay as they were.
TEST_P(Aes256Test, EncryptBlocksMatchesOpensslForEveryCount) {
  const std::string key = test::randomBytes(32, 9);
  const Aes256 aes = bound(Aes256(key));
  for (unsigned count = 0; count <= 300; count += count < 40 ? 1 : 43) {
    const std::string plain = test::randomBytes(16 * count, count), guard = test::randomBytes(16, ~count);
    std::string blocks = plain + guard;
    aes.encryptBlocks(reinterpret_cast<std::uint8_t*>(blocks.data()), count);
    ASSERT_EQ(toHex(blocks), toHex(test::opensslCipher("aes-256-ecb", key, "", plain, true) + guard))
        << count;
  }
}

// Every mode's run gives the same bytes and chaining state in place as from
// one buffer into another (the text transforms check the latter).
TEST_P(Aes256Test, RunsInPlaceMatchRunsApart) {
  const Aes256 aes = bound(Aes256(test::randomBytes(32, 10)));
  const std::string text = test::randomBytes(16 * 37, 11), iv = test::randomBytes(16, 12);
  const auto bytes = [](std::string& s) { return reinterpret_cast<std::uint8_t*>(s.data()); };
  for (int run = 0; run < detail::kModeRunCount; ++run) {
    std::string input = text, apart(text.size(), '\0'), inPlace = text, ivApart = iv, ivInPlace = iv;
    const auto mode = static_cast<detail::ModeRun>(run);
    detail::Aes256Internals::run(aes, mode, bytes(ivApart), bytes(input), bytes(apart), text.size());
    detail::Aes256Internals::run(aes, mode, bytes(ivInPlace), bytes(inPlace), bytes(inPlace), text.size());
    EXPECT_EQ(toHex(inPlace), toHex(apart)) << "run " << run;
    EXPECT_EQ(toHex(ivInPlace), toHex(ivApart)) << "run " << run;
  }
}

TEST_P(Aes256Test, ShortKeyIsRefusedAndLeavesTheKeyAlone) {
  const std::string key = test::randomBytes(32, 1);
  EXPECT_THROW(Aes256(key.substr(0, 31)), std::invalid_argument);
  Aes256 aes = bound(Aes256(key));
  try {
    aes.setKey(key.substr(0, 31));
    FAIL() << "31-byte key accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Key must contain at least 32 bytes of data");
  }
  EXPECT_EQ(aes.encryptionKey().toText(false), key);
}

TEST_P(Aes256Test, BlockOperationsKeepKeysAndFillLength) {
  std::string key = test::randomBytes(32, 2);
  key[5] = '\0';  // zero bytes are ordinary key bytes
  const Aes256 aes = bound(Aes256(key));
  const std::string enc = aes.encryptionKey().toText(false);
  const std::string dec = aes.decryptionKey().toText(false);
  Block16 b = blockOf(test::randomBytes(16, 3));
  b.setFillLength(5);
  const Block16 once = aes.encrypted(b);
  EXPECT_EQ(once.fillLength(), 5u);
  aes.encryptBlock(b);
  EXPECT_TRUE(b.equals(once));
  aes.decryptBlock(b);
  aes.decryptBlock(b);
  EXPECT_EQ(b.fillLength(), 5u);
  EXPECT_EQ(aes.encryptionKey().toText(false), enc);
  EXPECT_EQ(aes.decryptionKey().toText(false), dec);
}

TEST_P(Aes256Test, SetKeyReplacesTheKey) {
  const std::string oldKey = test::randomBytes(32, 4), newKey = test::randomBytes(33, 5);
  Aes256 aes = bound(Aes256(oldKey));
  const Block16 plain = blockOf(test::randomBytes(16, 6));
  const Block16 cipher = aes.encrypted(plain);
  aes.setKey(newKey);
  EXPECT_EQ(aes.encryptionKey().toText(false), newKey.substr(0, 32));
  EXPECT_FALSE(aes.decrypted(cipher).equals(plain));
  EXPECT_TRUE(aes.decrypted(aes.encrypted(plain)).equals(plain));
}

TEST_P(Aes256Test, BlockKeyConstructorMatchesTextConstructor) {
  const std::string key = test::randomBytes(32, 8);
  const Aes256 fromText = bound(Aes256(key));
  const Aes256 fromBlock = bound(Aes256(Block32::fromText(key, 0)));
  EXPECT_EQ(fromText.decryptionKey().toText(false), fromBlock.decryptionKey().toText(false));
}

INSTANTIATE_ON_EACH_IMPL(Aes256Test);

}  // namespace
}  // namespace unseal
