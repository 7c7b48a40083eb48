// encryptStream and decryptStream: the same bytes as the text transforms, and
// the stream-only behaviour at the edges of the input and on stream errors.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <vector>

#include "support/aes_impls.h"
#include "support/engine_cases.h"
#include "support/oracle.h"
#include "support/padding_guard.h"
#include "support/shaped_streams.h"
#include "support/vectors.h"
#include "unseal/cipher_engine.h"

namespace unseal {
namespace {

using test::Ending;
using test::PaddingGuard;
using test::StreamOutcome;
using test::StreamShape;
using test::toHex;

constexpr const char* kBadStreams = "Bad input or output stream";
constexpr const char* kBadInput = "Bad input stream";
// One in this many of the long stream shapes runs on each mode and setting.
constexpr std::size_t kLongShapeShare = 13;

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

// Inputs stopping in every way around the block edges, the IV and the piece
// edges (of the body, and of the stream with a 16-byte IV in front), with
// chunk sizes that leave the ready bytes mid-block or at block edges (1 and
// 7 never a whole block); outputs refusing bytes around the same edges;
// inputs already failed.
std::vector<StreamShape> streamShapes() {
  constexpr std::size_t P = detail::kStreamPieceBytes;
  const std::size_t stops[] = {0,      1,     15, 16,    17,     31,     32,     33,        48,
                               P - 16, P - 1, P,  P + 1, P + 16, P + 17, P + 32, 2 * P + 16};
  const std::size_t chunks[] = {SIZE_MAX, 1, 7, 16, 100, 5000};
  const Ending endings[] = {Ending::End,           Ending::EndPromised, Ending::Pause,
                            Ending::PausePromised, Ending::Throw,       Ending::ThrowPromised};
  std::vector<StreamShape> shapes;
  std::size_t i = 0;
  for (const std::size_t stop : stops) {
    for (const Ending ending : endings) {
      const bool goesOn = ending != Ending::End && ending != Ending::EndPromised;
      shapes.push_back({stop + (goesOn ? 40 : 0), stop, chunks[(i + i / 6) % 6], ending});
      ++i;
    }
  }
  const struct {
    std::size_t length, limit;
  } outputs[] = {{40, 0}, {40, 5}, {40, 17}, {P + 40, P - 1}, {P + 40, P + 16}, {2 * P + 40, P + 17}};
  for (const auto& o : outputs) shapes.push_back({o.length, o.length, chunks[i++ % 6], Ending::End, o.limit});
  for (const auto state : {std::ios::failbit, std::ios::badbit}) {
    shapes.push_back({40, 40, SIZE_MAX, Ending::End, SIZE_MAX, state});
  }
  return shapes;
}

// The stream's bytes: for decryption under PKCS7, an IV and the ciphertext of
// a text that fills the stream exactly where its length allows (so that its
// final block strips); otherwise random bytes (under ISO 7816-4 their final
// block is almost never well padded).
std::string streamBytes(CipherEngine engine, std::int32_t mode, std::int32_t scheme, bool encrypt,
                        std::size_t length) {
  const std::string noise = test::randomBytes(length, static_cast<unsigned>(length) + 40);
  const std::size_t head = mode == ECB ? 0 : 16;
  if (encrypt || scheme != PKCS7 || length <= head) return noise;
  if (head > 0) engine.setIv(noise.substr(0, head));
  std::string bytes = noise.substr(0, head) + engine.encryptText(noise.substr(0, length - head - 1), false);
  bytes.resize(length, 'x');
  return bytes;
}

// The bulk transforms equal the block-by-block ones on every shape of stream:
// the same bytes written, error raised, chaining state, input state and
// position, and output state. To keep the time down, the long shapes run on
// a share of the modes and settings that rotates with the shape and the
// implementation, and not in CFB8 (sixteen cipher calls a block; its stream
// takes the path of the other modes that don't pad).
TEST_P(CipherStream, BulkEqualsBlockByBlockOnEveryStreamShape) {
  PaddingGuard guard;
  const std::vector<StreamShape> shapes = streamShapes();
  const auto impls = test::availableImpls();
  const auto rotation =
      static_cast<std::size_t>(std::find(impls.begin(), impls.end(), &impl()) - impls.begin());
  std::size_t config = 0;
  for (const std::int32_t mode : test::kModes) {
    for (const std::int32_t scheme : {PKCS7, ISO7816_4}) {
      const CipherEngine engine = bound(CipherEngine(test::randomBytes(32, 41), mode, scheme));
      for (const bool noPadding : {false, true}) {
        for (const auto& direction : test::kStreamDirections) {
          ++config;
          for (std::size_t s = 0; s < shapes.size(); ++s) {
            const StreamShape& shape = shapes[s];
            if (shape.length > 1000 && (mode == CFB8 || (s + config + rotation) % kLongShapeShare != 0))
              continue;
            SCOPED_TRACE(::testing::Message()
                         << "mode " << mode << ", scheme " << scheme << ", noPadding " << noPadding << ", "
                         << (direction.encrypt ? "encrypt" : "decrypt") << ", shape " << s << " (stop "
                         << shape.stop << ", chunk " << shape.chunk << ", ending "
                         << static_cast<int>(shape.ending) << ", output limit " << shape.outputLimit << ")");
            const std::string bytes = streamBytes(engine, mode, scheme, direction.encrypt, shape.length);
            const StreamOutcome bulk = test::runShaped(engine, direction.bulk, bytes, shape, noPadding);
            const StreamOutcome reference =
                test::runShaped(engine, direction.reference, bytes, shape, noPadding);
            EXPECT_EQ(bulk.error, reference.error);
            ASSERT_EQ(bulk.written.size(), reference.written.size());
            EXPECT_TRUE(bulk.written == reference.written);
            EXPECT_EQ(toHex(bulk.iv), toHex(reference.iv));
            EXPECT_EQ(bulk.inState, reference.inState);
            EXPECT_EQ(bulk.outBad, reference.outBad);
            EXPECT_EQ(bulk.consumed, reference.consumed);
            if (HasFailure()) return;
          }
        }
      }
    }
  }
}

INSTANTIATE_ON_EACH_IMPL(CipherStream);

}  // namespace
}  // namespace unseal
