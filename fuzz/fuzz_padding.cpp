// Padding and stripping of one Block16 under every scheme value (in range or
// not) against the plain model in fuzz_support.h.
#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_support.h"
#include "unseal/block.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace unseal;
  FuzzedDataProvider in(data, size);
  const auto scheme = in.ConsumeIntegralInRange<std::int32_t>(-2, 5);
  const std::string bytes = in.ConsumeBytesAsString(16);
  Block16::setPaddingScheme(scheme);

  // Building from a short text pads it as the model says.
  const Block16 built = Block16::fromText(bytes, 0);
  const std::string padded = bytes.size() < 16 ? fuzz::referencePadded(bytes, scheme) : bytes;
  fuzz::require(built.toText(false) == padded);
  fuzz::require(built.fillLength() == bytes.size());

  // Stripping a full block agrees with the model, garbled or not.
  const std::optional<std::string> expected = fuzz::referenceStripped(padded, scheme);
  try {
    const std::string stripped = built.toText(true);
    fuzz::require(expected.has_value() && stripped == *expected);
  } catch (const std::invalid_argument& e) {
    fuzz::requireLibrarySentence(e);
    fuzz::require(!expected.has_value());
  }
  return 0;
}
