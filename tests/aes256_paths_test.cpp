// Each AES instruction implementation against the portable reference: the
// same keys, blocks and whole engine transforms must give the same bytes.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "cipher/aes256_impl.h"
#include "support/aes_impls.h"
#include "support/padding_guard.h"
#include "support/vectors.h"
#include "unseal/aes256.h"
#include "unseal/cipher_engine.h"

namespace unseal {
namespace {

using test::Impl;

class Aes256Paths : public test::OnEachImpl {
 protected:
  // Runs f on the portable code and on the implementation under test.
  template <typename F>
  std::pair<std::string, std::string> onBothPaths(F f) const {
    return {f(detail::aes256Portable), f(impl())};
  }
};

TEST_P(Aes256Paths, BlocksAndSchedulesAgreeForRandomKeys) {
  for (unsigned i = 0; i < 5000; ++i) {
    const std::string key = test::randomBytes(32, i);
    const Block16 block = Block16::fromText(test::randomBytes(16, ~i), 0);
    const auto [portable, hardware] = onBothPaths([&](const Impl& impl) {
      const Aes256 aes = detail::boundTo(impl, Aes256(key));
      return aes.decryptionKey().toText(false) + aes.encrypted(block).toText(false) +
             aes.decrypted(block).toText(false);
    });
    ASSERT_EQ(test::toHex(hardware), test::toHex(portable)) << "key " << test::toHex(key);
  }
}

TEST_P(Aes256Paths, EngineTransformsAgreeInEveryMode) {
  test::PaddingGuard padding;
  std::mt19937 gen(11);
  auto next = [&gen] { return static_cast<unsigned>(gen()); };
  for (std::int32_t mode = ECB; mode <= CTR; ++mode) {
    for (unsigned trial = 0; trial < 20; ++trial) {
      const std::string key = test::randomBytes(32, next());
      const std::string iv = test::randomBytes(16, next());
      const std::string text = test::randomBytes(16 + next() % 300, next());
      const auto [portable, hardware] = onBothPaths([&](const Impl& impl) {
        CipherEngine engine = detail::boundTo(impl, CipherEngine(key, mode, PKCS7));
        engine.setIv(iv);
        const std::string cipher = engine.encryptText(text, false);
        engine.setIv(iv);
        return cipher + engine.decryptText(cipher, false);
      });
      ASSERT_EQ(test::toHex(hardware), test::toHex(portable)) << "mode " << mode;
    }
  }
}

// A block encrypted on one path decrypts on the other: both store the same
// two keys.
TEST_P(Aes256Paths, KeysCarryAcrossPaths) {
  const std::string key = test::randomBytes(32, 99);
  const Block16 plain = Block16::fromText(test::randomBytes(16, 98), 0);
  const Aes256 keyed = bound(Aes256(key));
  const Aes256 moved = detail::boundTo(detail::aes256Portable, keyed);
  EXPECT_TRUE(moved.decrypted(keyed.encrypted(plain)).equals(plain));
}

std::vector<const Impl*> instructionImpls() {
  std::vector<const Impl*> impls = test::availableImpls();
  std::erase(impls, &detail::aes256Portable);
  return impls;
}

INSTANTIATE_TEST_SUITE_P(Aes, Aes256Paths, ::testing::ValuesIn(instructionImpls()), test::implParamName);
// A CPU without AES instructions has nothing to compare.
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Aes256Paths);

}  // namespace
}  // namespace unseal
