#include "unseal/sha1.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/mman.h>
#include <unistd.h>

#include <memory>
#include <random>
#include <string>

#include "support/oracle.h"
#include "support/vectors.h"

namespace unseal {
namespace {

using test::publishedVectors;
using test::toHex;

std::string digestOf(std::string_view message) {
  Sha1 sha;
  sha.init();
  sha.update(message.data(), static_cast<std::uint32_t>(message.size()));
  std::uint8_t out[Sha1::DigestSize];
  sha.finish(out);
  return std::string(reinterpret_cast<char*>(out), sizeof out);
}

TEST(Sha1, PublishedExamples) {
  const struct {
    const char* name;
    std::string message;
  } cases[] = {
      {"sha1.empty", ""},
      {"sha1.abc", "abc"},
      {"sha1.two_blocks", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"},
      {"sha1.million_a", std::string(1000000, 'a')},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(toHex(digestOf(c.message)), toHex(publishedVectors().at(c.name))) << c.name;
  }
}

// Every length across the one- and two-final-block boundaries (55/56, 63/64,
// 119/120 ...), fed in random pieces that include empty ones, with 32-bit and
// std::size_t lengths.
TEST(Sha1, MatchesOpensslForEveryShortLengthInRandomPieces) {
  std::mt19937 gen(1);
  for (std::size_t length = 0; length <= 300; ++length) {
    const std::string message = test::randomBytes(length, static_cast<unsigned>(length));
    Sha1 sha;
    sha.init();
    std::size_t at = 0;
    while (at < length) {
      const std::size_t piece = std::min<std::size_t>(gen() % 70, length - at);
      if (piece % 2 == 0) {
        sha.update(message.data() + at, static_cast<std::uint32_t>(piece));
      } else {
        sha.update(message.data() + at, piece);  // the std::size_t form
      }
      at += piece;
    }
    sha.update(message.data(), 0);
    std::uint8_t out[Sha1::DigestSize];
    sha.finish(out);
    ASSERT_EQ(toHex(std::string(reinterpret_cast<char*>(out), sizeof out)), toHex(test::opensslSha1(message)))
        << "length " << length;
  }
}

TEST(Sha1, MatchesOpensslForMegabyteMessages) {
  for (std::size_t length : {std::size_t{1} << 20, (std::size_t{3} << 20) + 17}) {
    const std::string message = test::randomBytes(length, 7);
    EXPECT_EQ(toHex(digestOf(message)), toHex(test::opensslSha1(message))) << length;
  }
}

TEST(Sha1, InitStartsAFreshMessage) {
  Sha1 sha;
  sha.init();
  sha.update("garbage", 7);
  std::uint8_t out[Sha1::DigestSize];
  sha.finish(out);
  sha.init();
  sha.update("abc", 3);
  sha.finish(out);
  EXPECT_EQ(toHex(std::string(reinterpret_cast<char*>(out), sizeof out)),
            toHex(publishedVectors().at("sha1.abc")));
}

// Past 2^23 blocks the low word of the bit count wraps and the carry must
// reach the high word: 2^29 + 100 bytes, against OpenSSL.
TEST(Sha1, BitCountCarriesIntoHighWord) {
  const std::string piece = test::randomBytes(1 << 20, 3);
  Sha1 sha;
  sha.init();
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  ASSERT_EQ(EVP_DigestInit_ex(ctx.get(), EVP_sha1(), nullptr), 1);
  for (int i = 0; i < 512; ++i) {
    sha.update(piece.data(), static_cast<std::uint32_t>(piece.size()));
    EVP_DigestUpdate(ctx.get(), piece.data(), piece.size());
  }
  sha.update(piece.data(), 100);
  EVP_DigestUpdate(ctx.get(), piece.data(), 100);
  std::uint8_t ours[Sha1::DigestSize];
  unsigned char theirs[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  sha.finish(ours);
  EVP_DigestFinal_ex(ctx.get(), theirs, &n);
  EXPECT_EQ(toHex(std::string(reinterpret_cast<char*>(ours), 20)),
            toHex(std::string(reinterpret_cast<char*>(theirs), n)));
}

// A std::size_t length over 4 GiB is taken whole, not cut to its low 32 bits:
// with 16 readable bytes in front of an unreadable page, hashing 4 GiB + 16
// bytes must fault there rather than hash 16 bytes and return.
TEST(Sha1DeathTest, LengthOver4GiBIsNotCutTo32Bits) {
  if (sizeof(std::size_t) < 8) GTEST_SKIP() << "no lengths over 4 GiB here";
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  auto* area =
      static_cast<char*>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(area, MAP_FAILED);
  ASSERT_EQ(mprotect(area + page, page, PROT_NONE), 0);
  const std::uint64_t length = (std::uint64_t{1} << 32) + 16;
  EXPECT_DEATH(
      {
        Sha1 sha;
        sha.init();
        sha.update(area + page - 16, static_cast<std::size_t>(length));
      },
      "");
  munmap(area, 2 * page);
}

}  // namespace
}  // namespace unseal
