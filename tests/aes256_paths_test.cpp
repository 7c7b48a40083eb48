// The AES-NI implementation against the portable reference: the same keys,
// blocks and whole engine transforms must give the same bytes on both.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "cipher/aes256.h"
#include "cipher/aes256_impl.h"
#include "cipher/cipher_engine.h"
#include "support/padding_guard.h"
#include "support/vectors.h"

namespace unseal {
namespace {

using detail::Aes256Impl;

class PathGuard {
 public:
  explicit PathGuard(const Aes256Impl& impl) : saved_(detail::selectAes256Impl(impl)) {}
  ~PathGuard() { detail::selectAes256Impl(saved_); }
  PathGuard(const PathGuard&) = delete;
  PathGuard& operator=(const PathGuard&) = delete;

 private:
  const Aes256Impl& saved_;
};

class Aes256Paths : public testing::Test {
 protected:
  void SetUp() override {
    if (!detail::aes256HardwareAvailable()) GTEST_SKIP() << "this CPU has no AES instructions";
  }

  // Runs f once per implementation and returns both results.
  template <typename F>
  static std::pair<std::string, std::string> onBothPaths(F f) {
    std::string portable, hardware;
    {
      PathGuard guard(detail::aes256Portable);
      portable = f();
    }
    {
      PathGuard guard(detail::aes256Hardware);
      hardware = f();
    }
    return {portable, hardware};
  }
};

TEST_F(Aes256Paths, BlocksAndSchedulesAgreeForRandomKeys) {
  for (unsigned i = 0; i < 5000; ++i) {
    const std::string key = test::randomBytes(32, i);
    const Block16 block = Block16::fromText(test::randomBytes(16, ~i), 0);
    const auto [portable, hardware] = onBothPaths([&] {
      const Aes256 aes(key);
      return aes.decryptionKey().toText(false) + aes.encrypted(block).toText(false) +
             aes.decrypted(block).toText(false);
    });
    ASSERT_EQ(test::toHex(hardware), test::toHex(portable)) << "key " << test::toHex(key);
  }
}

TEST_F(Aes256Paths, EngineTransformsAgreeInEveryMode) {
  test::PaddingGuard padding;
  std::mt19937 gen(11);
  auto next = [&gen] { return static_cast<unsigned>(gen()); };
  for (std::int32_t mode = ECB; mode <= CTR; ++mode) {
    for (unsigned trial = 0; trial < 20; ++trial) {
      const std::string key = test::randomBytes(32, next());
      const std::string iv = test::randomBytes(16, next());
      const std::string text = test::randomBytes(16 + next() % 300, next());
      const auto [portable, hardware] = onBothPaths([&] {
        CipherEngine engine(key, mode, PKCS7);
        engine.setIv(iv);
        const std::string cipher = engine.encryptText(text, false);
        engine.setIv(iv);
        return cipher + engine.decryptText(cipher, false);
      });
      ASSERT_EQ(test::toHex(hardware), test::toHex(portable)) << "mode " << mode;
    }
  }
}

// An object keyed on one path decrypts correctly on the other: both store the
// same two keys.
TEST_F(Aes256Paths, KeysCarryAcrossPaths) {
  const std::string key = test::randomBytes(32, 99);
  const Block16 plain = Block16::fromText(test::randomBytes(16, 98), 0);
  std::unique_ptr<Aes256> aes;
  {
    PathGuard guard(detail::aes256Hardware);
    aes = std::make_unique<Aes256>(key);
  }
  PathGuard guard(detail::aes256Portable);
  EXPECT_TRUE(aes->decrypted(aes->encrypted(plain)).equals(plain));
}

}  // namespace
}  // namespace unseal
