// encryptStream and decryptStream: the same bytes as the text transforms, and
// the stream-only behaviour at the edges of the input and on stream errors.
#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <string>

#include "support/aes_impls.h"
#include "support/engine_cases.h"
#include "support/oracle.h"
#include "support/padding_guard.h"
#include "support/vectors.h"
#include "unseal/cipher_engine.h"

namespace unseal {
namespace {

using test::PaddingGuard;
using test::toHex;

constexpr const char* kBadStreams = "Bad input or output stream";
constexpr const char* kBadInput = "Bad input stream";

// An output whose every write fails, leaving the stream bad.
class FailingOutput : public std::streambuf {
 protected:
  int_type overflow(int_type) override { return traits_type::eof(); }
};

// An input that delivers its bytes and then fails to read, leaving the stream bad.
class FailingInput : public std::streambuf {
 public:
  explicit FailingInput(std::string bytes) : bytes_(std::move(bytes)) {
    setg(bytes_.data(), bytes_.data(), bytes_.data() + bytes_.size());
  }

 protected:
  int_type underflow() override { throw std::runtime_error("device error"); }

 private:
  std::string bytes_;
};

class StreamTransforms : public ::testing::TestWithParam<test::ImplModeScheme> {};

class CipherStream : public test::OnEachImpl {};

// With the same IV installed, encryptStream writes what encryptText returns,
// and decryptStream of the IV and that ciphertext (the ciphertext alone in
// ECB) writes what decryptText returns.
TEST_P(StreamTransforms, WriteWhatTheTextTransformsReturn) {
  const auto [impl, mode, scheme] = GetParam();
  const std::string iv = test::randomBytes(16, 1), otherIv = test::randomBytes(16, 2);
  PaddingGuard guard;
  CipherEngine engine = detail::boundTo(*impl, CipherEngine(test::randomBytes(32, 3), mode, scheme));
  // Both transforms pass the same blocks through the mode, and so end in the
  // same chaining state, except where a final short or empty block of a mode
  // that doesn't pad is transformed whole.
  const bool sameFinalState = test::padsOutput(mode) || mode == CFB8;
  for (const bool noPadding : {false, true}) {
    for (const std::size_t n : test::sweepLengths()) {
      SCOPED_TRACE(::testing::Message() << "length " << n << ", noPadding " << noPadding);
      const std::string text = test::plaintext(n, static_cast<unsigned>(n) + 100);
      engine.setIv(iv);
      const std::string cipher = engine.encryptText(text, noPadding);
      const std::string textState = engine.getIv();
      engine.setIv(iv);
      std::stringstream plainIn(text), cipherOut;
      EXPECT_EQ(&engine.encryptStream(plainIn, cipherOut, noPadding), &cipherOut);
      ASSERT_EQ(toHex(cipherOut.str()), toHex(cipher));
      if (sameFinalState) {
        EXPECT_EQ(toHex(engine.getIv()), toHex(textState));
      }

      engine.setIv(iv);
      const std::string expected = engine.decryptText(cipher, noPadding);
      const std::string decryptedState = mode == ECB ? otherIv : engine.getIv();  // ECB: unused
      engine.setIv(otherIv);  // the stream's own IV must take its place
      std::stringstream cipherIn((mode == ECB ? "" : iv) + cipher), plainOut;
      EXPECT_EQ(&engine.decryptStream(cipherIn, plainOut, noPadding), &plainOut);
      ASSERT_EQ(toHex(plainOut.str()), toHex(expected));
      if (sameFinalState) {
        EXPECT_EQ(toHex(engine.getIv()), toHex(decryptedState));
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllModesAndSchemes, StreamTransforms, test::everyImplModeAndScheme(),
                         test::modeSchemeName);

// Inputs that end early or in a short block: how much is written before the
// refusal, if any. What is written is the decryption of the bytes read.
TEST_P(CipherStream, DecryptStreamInputShapes) {
  const struct {
    std::int32_t mode;
    bool noPadding;
    std::size_t inputLength;  // IV included
    std::size_t written;
    const char* refusal;
  } cases[] = {
      {CBC, false, 15, 0, kBadInput},  {CFB, false, 15, 0, kBadInput},  {CBC, false, 16, 0, nullptr},
      {CTR, true, 16, 0, nullptr},     {ECB, false, 0, 0, nullptr},     {CBC, false, 36, 16, kBadInput},
      {PCBC, true, 36, 16, kBadInput}, {ECB, false, 20, 16, kBadInput}, {CFB, false, 36, 20, nullptr},
      {CFB8, false, 17, 1, nullptr},   {OFB, true, 50, 34, nullptr},
  };
  PaddingGuard guard;
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "mode " << c.mode << ", " << c.inputLength << " bytes");
    CipherEngine engine = bound(CipherEngine(test::randomBytes(32, 4), c.mode, Zeros));
    const std::string input = test::randomBytes(c.inputLength, 5);
    const std::size_t head = c.mode == ECB ? 0 : std::min<std::size_t>(16, c.inputLength);
    std::stringstream in(input), out;
    if (c.refusal == nullptr) {
      engine.decryptStream(in, out, c.noPadding);
    } else {
      EXPECT_REFUSED(engine.decryptStream(in, out, c.noPadding), c.refusal);
    }
    ASSERT_EQ(out.str().size(), c.written);
    if (c.written > 0) {
      engine.setIv(input.substr(0, head));
      const std::string body = input.substr(head, c.written) + std::string(16, '\0');
      EXPECT_EQ(toHex(out.str()), toHex(engine.decryptText(body, true).substr(0, c.written)));
    } else if (head == 16 && c.refusal == nullptr) {
      EXPECT_EQ(toHex(engine.getIv()), toHex(input));  // an IV alone: read, nothing written
    }
  }
}

// A final block with malformed padding is refused after the blocks in front
// of it have been written.
TEST_P(CipherStream, GarbledFinalBlockAfterEarlierBlocks) {
  PaddingGuard guard;
  const std::string iv = test::randomBytes(16, 6);
  const std::string text = test::randomBytes(45, 7) + "\x04\x03\x03";
  CipherEngine engine = bound(CipherEngine(test::randomBytes(32, 8), CBC, PKCS7));
  engine.setIv(iv);
  std::stringstream in(iv + engine.encryptText(text, true)), out;
  EXPECT_REFUSED(engine.decryptStream(in, out, false), "String to decrypt is garbled");
  EXPECT_EQ(toHex(out.str()), toHex(text.substr(0, 32)));
}

// Streams already failed on entry: encryptStream refuses them before drawing
// an IV; decryptStream refuses a failed output, and takes a failed input as an
// empty one, which lacks the IV in every mode but ECB.
TEST_P(CipherStream, StreamsFailedOnEntry) {
  PaddingGuard guard;
  const std::string firstDraw = test::drawnIvs(1);
  for (const std::int32_t mode : test::kModes) {
    SCOPED_TRACE(::testing::Message() << "mode " << mode);
    CipherEngine engine = bound(CipherEngine(test::randomBytes(32, 9), mode, PKCS7));
    for (const auto state : {std::ios::failbit, std::ios::badbit}) {
      std::stringstream in(test::randomBytes(40, 10)), out;
      in.setstate(state);
      EXPECT_REFUSED(engine.encryptStream(in, out, false), kBadStreams);
      std::stringstream goodIn("abc"), failedOut;
      failedOut.setstate(state);
      EXPECT_REFUSED(engine.encryptStream(goodIn, failedOut, false), kBadStreams);
      EXPECT_REFUSED(engine.decryptStream(goodIn, failedOut, false), kBadStreams);
      EXPECT_EQ(out.str(), "");
    }
    if (mode == CTR) {
      (void)engine.encryptText("", false);  // nothing was drawn before: this is the first draw
      EXPECT_EQ(toHex(engine.getIv()), toHex(firstDraw));
    }

    std::stringstream failedIn(test::randomBytes(40, 11)), out;
    failedIn.setstate(std::ios::failbit);
    if (mode == ECB) {
      engine.decryptStream(failedIn, out, false);
    } else {
      EXPECT_REFUSED(engine.decryptStream(failedIn, out, false), kBadInput);
    }
    EXPECT_EQ(out.str(), "");
  }
}

// A write error does not stop the loop: the whole input is transformed (the
// chaining state shows it) and the bad output is reported at the end.
TEST_P(CipherStream, FailingOutputIsReportedAtTheEnd) {
  PaddingGuard guard;
  const std::string iv = test::randomBytes(16, 13), text = test::randomBytes(40, 14);
  for (const std::int32_t mode : {CBC, CFB}) {
    CipherEngine engine = bound(CipherEngine(test::randomBytes(32, 15), mode, PKCS7));
    engine.setIv(iv);
    const std::string cipher = engine.encryptText(text, false);
    const std::string encryptedState = engine.getIv();
    engine.setIv(iv);
    (void)engine.decryptText(cipher, false);
    const std::string decryptedState = engine.getIv();

    FailingOutput sink;
    std::ostream out(&sink);
    std::stringstream plainIn(text);
    engine.setIv(iv);
    EXPECT_REFUSED(engine.encryptStream(plainIn, out, false), kBadStreams);
    EXPECT_TRUE(plainIn.eof());
    if (mode == CBC) {
      EXPECT_EQ(toHex(engine.getIv()), toHex(encryptedState));
    }

    out.clear();
    std::stringstream cipherIn(iv + cipher);
    EXPECT_REFUSED(engine.decryptStream(cipherIn, out, false), kBadStreams);
    EXPECT_TRUE(cipherIn.eof());
    if (mode == CBC) {
      EXPECT_EQ(toHex(engine.getIv()), toHex(decryptedState));
    }
  }
}

// A read error ends the input like its end does: the final block is handled
// (here, a whole block of padding is added), then the bad input is reported.
// When decryption meets the error right after a whole block, that block is
// not taken for the final one (its end is no padding): it is written whole.
TEST_P(CipherStream, FailingInputIsReportedAfterTheFinalBlock) {
  PaddingGuard guard;
  const std::string iv = test::randomBytes(16, 16), text = test::randomBytes(31, 17) + "z";
  CipherEngine engine = bound(CipherEngine(test::randomBytes(32, 18), CBC, PKCS7));
  engine.setIv(iv);
  const std::string cipher = engine.encryptText(text, false);
  FailingInput source(text);
  std::istream in(&source);
  std::stringstream out;
  engine.setIv(iv);
  EXPECT_REFUSED(engine.encryptStream(in, out, false), kBadStreams);
  EXPECT_EQ(toHex(out.str()), toHex(cipher));

  FailingInput cipherSource(iv + cipher.substr(0, 32));
  std::istream cipherIn(&cipherSource);
  std::stringstream plainOut;
  EXPECT_REFUSED(engine.decryptStream(cipherIn, plainOut, false), kBadStreams);
  EXPECT_EQ(toHex(plainOut.str()), toHex(text));
}

// In the modes that don't pad, the final (empty) read still passes through the
// mode: CTR's counter ends one step further than after encryptText, and an
// automatic IV is drawn even for an empty input.
TEST_P(CipherStream, FinalEmptyBlockStillMovesTheMode) {
  PaddingGuard guard;
  const std::string iv = test::fromHex("feff" + std::string(28, '0'));
  const std::string text = test::randomBytes(32, 19);
  CipherEngine ctr = bound(CipherEngine(test::randomBytes(32, 20), CTR, PKCS7));
  ctr.setIv(iv);
  (void)ctr.encryptText(text, false);
  EXPECT_EQ(toHex(ctr.getIv()), "000001" + std::string(26, '0'));
  ctr.setIv(iv);
  std::stringstream in(text), out;
  ctr.encryptStream(in, out, false);
  EXPECT_EQ(toHex(ctr.getIv()), "010001" + std::string(26, '0'));

  // CFB8 with nothing to transform leaves the drawn IV as it was drawn.
  CipherEngine cfb8 = bound(CipherEngine(test::randomBytes(32, 21), CFB8, PKCS7));
  std::stringstream empty, nothing;
  cfb8.encryptStream(empty, nothing, false);
  EXPECT_EQ(nothing.str(), "");
  EXPECT_EQ(toHex(cfb8.getIv()), toHex(test::drawnIvs(1)));
}

INSTANTIATE_ON_EACH_IMPL(CipherStream);

}  // namespace
}  // namespace unseal
