// SHA-1 fed in fuzz-chosen pieces equals SHA-1 in one piece and OpenSSL's.
#include <fuzzer/FuzzedDataProvider.h>
#include <openssl/evp.h>

#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "unseal/sha1.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using unseal::Sha1;
  FuzzedDataProvider in(data, size);
  const auto pieces = in.ConsumeIntegralInRange<std::size_t>(0, 16);
  std::vector<std::size_t> cuts;
  for (std::size_t i = 0; i < pieces; ++i) cuts.push_back(in.ConsumeIntegralInRange<std::size_t>(0, 200));
  const std::string message = in.ConsumeRemainingBytesAsString();

  std::uint8_t whole[Sha1::DigestSize], split[Sha1::DigestSize];
  Sha1 sha;
  sha.init();
  sha.update(message.data(), static_cast<std::uint32_t>(message.size()));
  sha.finish(whole);

  sha.init();
  std::size_t at = 0;
  for (std::size_t cut : cuts) {
    const std::size_t n = std::min(cut, message.size() - at);
    sha.update(message.data() + at, static_cast<std::uint32_t>(n));
    at += n;
  }
  sha.update(message.data() + at, static_cast<std::uint32_t>(message.size() - at));
  sha.finish(split);
  unseal::fuzz::require(std::memcmp(whole, split, sizeof whole) == 0);

  unsigned char theirs[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(message.data(), message.size(), theirs, &length, EVP_sha1(), nullptr);
  unseal::fuzz::require(length == Sha1::DigestSize && std::memcmp(whole, theirs, length) == 0);
  return 0;
}
