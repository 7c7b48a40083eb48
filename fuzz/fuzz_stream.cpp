// encryptStream and decryptStream against the block-by-block transforms they
// replace (cipher/cipher_stream_reference.h), on streams of any shape: the
// same bytes written, error raised, chaining state, input state and position,
// and output state, on every AES-256 implementation the machine runs, and the
// same outcome on each.
//
// The input's first bytes choose the mode, scheme, noPadding, direction, key,
// IV, the stream's length, the input's chunk size, ending and stop offset,
// and the output's limit; the rest is the body, repeated to the length. The
// length, stop and limit are each a multiple of the piece size plus a small
// offset, so that short inputs reach every piece edge.
#include <fuzzer/FuzzedDataProvider.h>

#include <optional>
#include <string>
#include <vector>

#include "cipher/cipher_stream_reference.h"
#include "fuzz_support.h"
#include "tests/support/shaped_streams.h"

namespace {

using unseal::test::Ending;

// Near the start (mostly, for speed) or one or two pieces in, give or take
// 48 bytes.
std::size_t nearPieceEdge(FuzzedDataProvider& in) {
  const auto pick = in.ConsumeIntegral<std::uint8_t>();
  const std::size_t pieces = pick < 208 ? 0 : pick < 240 ? 1 : 2;
  const std::size_t at =
      pieces * unseal::detail::kStreamPieceBytes + in.ConsumeIntegralInRange<std::size_t>(0, 96);
  return at < 48 ? 0 : at - 48;
}

std::string repeated(const std::string& body, std::size_t length) {
  std::string bytes;
  if (body.empty()) return std::string(length, '\0');
  while (bytes.size() < length) bytes += body;
  bytes.resize(length);
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace unseal;
  FuzzedDataProvider in(data, size);
  const auto mode = in.ConsumeIntegralInRange<std::int32_t>(ECB, CTR);
  const auto scheme = in.ConsumeIntegralInRange<std::int32_t>(PKCS7, Zeros);
  const bool noPadding = in.ConsumeBool();
  const auto& direction = test::kStreamDirections[in.ConsumeBool() ? 1 : 0];
  const bool automaticIv = in.ConsumeBool();
  test::StreamShape shape{};
  shape.length = nearPieceEdge(in);
  const std::size_t chunk = in.ConsumeIntegral<std::uint16_t>();
  shape.chunk = chunk == 0 ? SIZE_MAX : chunk;
  shape.ending =
      static_cast<Ending>(in.ConsumeIntegralInRange<int>(0, static_cast<int>(Ending::ThrowPromised)));
  shape.stop = std::min(nearPieceEdge(in), shape.length);
  shape.outputLimit = in.ConsumeBool() ? nearPieceEdge(in) : SIZE_MAX;
  const auto entryState = in.ConsumeIntegralInRange<int>(0, 7);
  shape.entryState = entryState == 1   ? std::ios::failbit
                     : entryState == 2 ? std::ios::badbit
                                       : std::ios::goodbit;
  const std::string key = in.ConsumeBytesAsString(32) + std::string(32, 'k');
  const std::string iv = in.ConsumeBytesAsString(16) + std::string(16, 'v');
  const std::string bytes = repeated(in.ConsumeRemainingBytesAsString(), shape.length);

  // A new engine's IV is the padding of the scheme in force before it: the
  // same for every engine here.
  CipherEngine::setPadding(scheme);
  std::optional<test::StreamOutcome> first;
  std::vector<const detail::Aes256Impl*> impls = fuzz::otherImpls();
  impls.push_back(&detail::aes256Portable);
  for (const detail::Aes256Impl* impl : impls) {
    CipherEngine engine = detail::boundTo(*impl, CipherEngine(key, mode, scheme));
    if (!automaticIv) engine.setIv(iv);
    const test::StreamOutcome bulk = test::runShaped(engine, direction.bulk, bytes, shape, noPadding);
    const test::StreamOutcome reference =
        test::runShaped(engine, direction.reference, bytes, shape, noPadding);
    fuzz::require(bulk == reference);
    if (!bulk.error.empty()) fuzz::requireLibrarySentence(std::invalid_argument(bulk.error));
    if (first.has_value()) fuzz::require(bulk == *first);
    first = bulk;
  }
  return 0;
}
