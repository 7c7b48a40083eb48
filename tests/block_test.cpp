#include "unseal/block.h"

#include <gtest/gtest.h>

#include <string>

#include "support/padding_guard.h"
#include "support/vectors.h"

namespace unseal {
namespace {

using test::fromHex;
using test::PaddingGuard;
using test::toHex;

constexpr std::int32_t kBadScheme = 7;

std::string bytesOf(const Block16& b) { return b.toText(false); }

// What an empty Block16 holds under each setting.
TEST(Block, EmptyBlockIsPaddingOfTheCurrentScheme) {
  const struct {
    std::int32_t scheme;
    const char* hex;
  } cases[] = {
      {PKCS7, "10101010101010101010101010101010"},      {ANSIX923, "00000000000000000000000000000010"},
      {ISO7816_4, "80000000000000000000000000000000"},  {Zeros, "00000000000000000000000000000000"},
      {kBadScheme, "00000000000000000000000000000000"},
  };
  for (const auto& c : cases) {
    PaddingGuard guard(c.scheme);
    const Block16 empty;
    EXPECT_EQ(toHex(bytesOf(empty)), c.hex) << "scheme " << c.scheme;
    EXPECT_EQ(empty.fillLength(), 0u);
    // The larger sizes keep ISO7816_4 whatever the 16-byte setting says.
    EXPECT_EQ(toHex(Block32().toText(false)), "80" + std::string(62, '0'));
    EXPECT_EQ(Block64().byteAt(0), 0x80);
    EXPECT_EQ(Block64().byteAt(63), 0x00);
  }
}

TEST(Block, PadWritesFromPositionAndKeepsBytesInFront) {
  const struct {
    std::int32_t scheme;
    const char* tail;  // bytes 13..15 after pad(13)
  } cases[] = {{PKCS7, "030303"},
               {ANSIX923, "000003"},
               {ISO7816_4, "800000"},
               {Zeros, "000000"},
               {kBadScheme, "eeeeee"}};
  for (const auto& c : cases) {
    PaddingGuard guard(c.scheme);
    Block16 b = Block16::fromBytes(fromHex(std::string(32, 'e')).data(), 16);
    b.pad(13);
    EXPECT_EQ(toHex(bytesOf(b)), std::string(26, 'e') + c.tail) << "scheme " << c.scheme;
    EXPECT_EQ(b.fillLength(), 13u);
  }
}

// Stripping: one table, every scheme, well-formed and malformed endings.
TEST(Block, StripsPaddingByTheCurrentScheme) {
  constexpr int kGarbled = -1;
  const std::string data13 = "41424344454647484940414243";  // 13 bytes of data
  const struct {
    std::int32_t scheme;
    std::string hex;
    int expectedLength;
  } cases[] = {
      {PKCS7, data13 + "030303", 13},
      {PKCS7, data13 + "040303", kGarbled},
      {PKCS7, data13 + "030300", 16},  // final byte 0: nothing stripped, nothing compared
      {PKCS7, data13 + "040401", 15},  // final byte 1: only itself
      {PKCS7, "10101010101010101010101010101010", 0},
      {PKCS7, data13 + "030311", kGarbled},  // 17 names more than the block holds
      {PKCS7, data13 + "0303ff", kGarbled},
      {ANSIX923, data13 + "000003", 13},
      {ANSIX923, data13 + "000103", kGarbled},
      {ANSIX923,
       "000000000000000000000000000000"
       "10",
       0},
      {ANSIX923, data13 + "000020", kGarbled},
      {ISO7816_4,
       "414243444546474849"
       "80"
       "000000000000",
       9},
      {ISO7816_4, "80" + std::string(30, '0'), 0},
      {ISO7816_4, std::string(32, '0'), kGarbled},
      {ISO7816_4, data13 + "800041", kGarbled},
      {ISO7816_4, data13 + "000080", 15},
      {Zeros, data13 + "000000", 13},
      {Zeros, std::string(32, '0'), 1},           // at least one byte is kept
      {Zeros, "4100" + std::string(28, '0'), 1},  // data ending in zeros loses them
      {kBadScheme, data13 + "000000", 16},
      {kBadScheme, std::string(32, '0'), 16},
  };
  for (const auto& c : cases) {
    PaddingGuard guard(c.scheme);
    const std::string bytes = fromHex(c.hex);
    const Block16 b = Block16::fromBytes(bytes.data(), 16);
    if (c.expectedLength == kGarbled) {
      try {
        (void)b.toText(true);
        ADD_FAILURE() << "accepted " << c.hex << " under scheme " << c.scheme;
      } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "String to decrypt is garbled");
      }
    } else {
      EXPECT_EQ(b.toText(true), bytes.substr(0, static_cast<std::size_t>(c.expectedLength)))
          << c.hex << " under scheme " << c.scheme;
    }
    EXPECT_EQ(b.toText(false), bytes);  // stripping never changes the block
  }
}

// Padding then stripping gives the data back, for every position.
TEST(Block, PadThenStripRoundTrips) {
  for (std::int32_t scheme : {PKCS7, ANSIX923, ISO7816_4}) {
    PaddingGuard guard(scheme);
    for (unsigned p = 0; p < 16; ++p) {
      const std::string data = test::randomBytes(p, p);
      const Block16 b = Block16::fromText(data, 0);
      EXPECT_EQ(b.fillLength(), p);
      EXPECT_EQ(b.toText(true), data) << "scheme " << scheme << " position " << p;
    }
  }
}

TEST(Block, ConstructorsTakeTheirBytesAndPadTheRest) {
  PaddingGuard guard(PKCS7);
  const std::string text = test::randomBytes(100, 9);
  const struct {
    std::size_t textLength, offset, fill;
  } cases[] = {{20, 16, 4}, {20, 20, 0}, {20, 25, 0}, {100, 0, 16}, {16, 0, 16}, {5, 0, 5}, {0, 0, 0}};
  for (const auto& c : cases) {
    const Block16 b = Block16::fromText(std::string_view(text).substr(0, c.textLength), c.offset);
    EXPECT_EQ(b.fillLength(), c.fill);
    const std::string expected = text.substr(std::min(c.offset, c.textLength), c.fill) +
                                 std::string(16 - c.fill, static_cast<char>(16 - c.fill));
    EXPECT_EQ(toHex(bytesOf(b)), toHex(expected)) << c.textLength << "@" << c.offset;
  }
  const Block32 key = Block32::fromBytes(text.data(), 40);
  EXPECT_EQ(key.fillLength(), 32u);
  EXPECT_EQ(key.toText(false), text.substr(0, 32));
  const Block32 shortKey = Block32::fromBytes(text.data(), 5);  // 32-byte scheme: ISO7816_4
  EXPECT_EQ(toHex(shortKey.toText(false)), toHex(text.substr(0, 5) + '\x80' + std::string(26, '\0')));
}

TEST(Block, BadSchemeConstructorsLeaveZeros) {
  PaddingGuard guard(kBadScheme);
  const Block16 b = Block16::fromText("abc", 0);
  EXPECT_EQ(b.toText(false), std::string("abc") + std::string(13, '\0'));
  EXPECT_EQ(b.fillLength(), 3u);
}

TEST(Block, SliceOfAKey) {
  PaddingGuard guard(ANSIX923);
  const std::string text = test::randomBytes(32, 4);
  const Block32 key = Block32::fromText(text, 0);
  const Block16 second = Block16::sliceOf(key, 16);
  EXPECT_EQ(second.toText(false), text.substr(16));
  EXPECT_EQ(second.fillLength(), 16u);
  const Block16 tail = Block16::sliceOf(key, 24);
  EXPECT_EQ(tail.fillLength(), 8u);
  EXPECT_EQ(toHex(tail.toText(false)), toHex(text.substr(24) + std::string(7, '\0') + '\x08'));
  EXPECT_EQ(Block16::sliceOf(key, 33).fillLength(), 0u);
}

TEST(Block, ShiftLeftTreatsByteZeroAsMostSignificant) {
  const std::string start = "0ff0" + std::string(24, '0') + "a5c3";
  const struct {
    std::uint64_t bits;
    std::string expected;
  } cases[] = {
      {0, start},
      {4, "ff00" + std::string(22, '0') + "0a5c30"},
      {8, "f0" + std::string(24, '0') + "a5c300"},
      {12, "00" + std::string(22, '0') + "0a5c3000"},
      {120, "c3" + std::string(30, '0')},
      {127, "80" + std::string(30, '0')},
      {128, std::string(32, '0')},
      {1000, std::string(32, '0')},
  };
  for (const auto& c : cases) {
    Block16 b = Block16::fromText(fromHex(start), 0);
    b.setFillLength(5);
    b.shiftLeft(c.bits);
    EXPECT_EQ(toHex(bytesOf(b)), c.expected) << "shift by " << c.bits;
    EXPECT_EQ(b.fillLength(), 5u);
  }
}

TEST(Block, IncrementTreatsByteZeroAsLeastSignificant) {
  const struct {
    std::string before, after;
  } cases[] = {
      {"ff00" + std::string(28, '0'), "0001" + std::string(28, '0')},
      {std::string(32, 'f'), std::string(32, '0')},
      {"fffffe" + std::string(26, 'f'), "0000ff" + std::string(26, 'f')},
      {std::string(30, '0') + "01", "01" + std::string(28, '0') + "01"},
  };
  for (const auto& c : cases) {
    Block16 b = Block16::fromText(fromHex(c.before), 0);
    b.setFillLength(3);
    const Block16 old = b.postIncrement();
    EXPECT_EQ(toHex(bytesOf(old)), c.before);
    EXPECT_EQ(old.fillLength(), 3u);
    EXPECT_EQ(toHex(bytesOf(b)), c.after);
  }
}

TEST(Block, XorAssignEqualsAndCopiesTreatFillLengthAsDocumented) {
  const std::string x = test::randomBytes(16, 1), y = test::randomBytes(16, 2);
  Block16 a = Block16::fromText(x, 0);
  Block16 b = Block16::fromText(y, 0);
  a.setFillLength(3);
  b.setFillLength(9);

  const Block16 c = a.xored(b);
  EXPECT_EQ(c.fillLength(), 3u);
  for (unsigned i = 0; i < 16; ++i) EXPECT_EQ(c.byteAt(i), a.byteAt(i) ^ b.byteAt(i));
  EXPECT_EQ(a.toText(false), x);  // xored leaves its operands alone

  EXPECT_FALSE(a.equals(b));
  Block16 target = a;
  EXPECT_EQ(target.fillLength(), 3u);  // value copy carries the fill length
  target.assign(b);
  EXPECT_TRUE(target.equals(b));
  EXPECT_EQ(target.fillLength(), 3u);  // assign does not
  target = b;
  EXPECT_EQ(target.fillLength(), 9u);
}

// equals compares every bit of every data byte, in each block size.
template <std::size_t N>
void expectEqualsSeesEveryBit() {
  Block<N> a;
  for (std::size_t i = 0; i < N; ++i) a.byteAt(i) = static_cast<std::uint8_t>(7 * i + 1);
  for (std::size_t i = 0; i < N; ++i) {
    for (unsigned bit = 0; bit < 8; ++bit) {
      Block<N> b = a;
      EXPECT_TRUE(b.equals(a));
      b.byteAt(i) ^= static_cast<std::uint8_t>(1u << bit);
      EXPECT_FALSE(b.equals(a)) << "size " << N << ", byte " << i << ", bit " << bit;
    }
  }
}

TEST(Block, EqualsSeesADifferenceAtEveryPosition) {
  expectEqualsSeesEveryBit<16>();
  expectEqualsSeesEveryBit<32>();
  expectEqualsSeesEveryBit<64>();
}

TEST(Block, AssignTextAndPlaceAt) {
  PaddingGuard guard(Zeros);
  Block16 b = Block16::fromText(test::randomBytes(16, 5), 0);
  b.setFillLength(7);
  const std::string text = test::randomBytes(20, 6);
  b.assignText(text);
  EXPECT_EQ(b.toText(false), text.substr(0, 16));
  EXPECT_EQ(b.fillLength(), 7u);
  b.assignText("abc");
  EXPECT_EQ(b.toText(false), std::string("abc") + std::string(13, '\0'));
  EXPECT_EQ(b.fillLength(), 3u);

  Block64 ring;
  const Block16 source = Block16::fromText(text, 0);
  ring.placeAt(56, source);
  for (unsigned i = 0; i < 8; ++i) EXPECT_EQ(ring.byteAt(56 + i), source.byteAt(i));
  ring.placeAt(16, source);
  for (unsigned i = 0; i < 16; ++i) EXPECT_EQ(ring.byteAt(16 + i), source.byteAt(i));
  EXPECT_EQ(ring.byteAt(0), 0x80);
  EXPECT_EQ(ring.fillLength(), 0u);
}

TEST(Block, LaterSettingChangesHowEarlierBlocksStrip) {
  PaddingGuard guard(PKCS7);
  const Block16 b = Block16::fromText("abc", 0);  // PKCS7 padding written
  EXPECT_EQ(b.toText(true), "abc");
  Block16::setPaddingScheme(Zeros);
  EXPECT_EQ(b.toText(true).size(), 16u);  // 0x0d is not zero: nothing stripped
}

}  // namespace
}  // namespace unseal
