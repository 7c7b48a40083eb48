// Shared by the fuzz targets: the library's error sentences, the AES-256
// implementations to compare, and a second, deliberately plain model of
// padding that the targets check the blocks against.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "cipher/aes256_impl.h"

namespace unseal::fuzz {

// The implementations besides the portable reference that this machine runs.
inline const std::vector<const detail::Aes256Impl*>& otherImpls() {
  static const std::vector<const detail::Aes256Impl*> impls = [] {
    std::vector<const detail::Aes256Impl*> found;
    for (const detail::Aes256Impl* impl : detail::aes256Impls()) {
      if (impl != &detail::aes256Portable && detail::cpuRuns(detail::cpuFeatures(), impl->needs))
        found.push_back(impl);
    }
    return found;
  }();
  return impls;
}

// The only exceptions the library may let out: invalid_argument with one of
// its sentences. Anything else aborts the run, so the fuzzer reports it.
inline void requireLibrarySentence(const std::invalid_argument& e) {
  static const char* const sentences[] = {"Key must contain at least 32 bytes of data",
                                          "Seed must consist of (at least) 16 bytes",
                                          "Invalid chaining mode requested",
                                          "IV must contain at least 16 bytes of data",
                                          "Length of string to decrypt is incorrect",
                                          "String to decrypt is garbled",
                                          "Bad input or output stream",
                                          "Bad input stream",
                                          "Output buffer is too small",
                                          "Output buffer overlaps the input"};
  for (const char* s : sentences) {
    if (std::string_view(e.what()) == s) return;
  }
  std::abort();
}

inline void require(bool condition) {
  if (!condition) std::abort();
}

// The bytes a scheme writes after `data` to fill a 16-byte block.
inline std::string referencePadded(std::string data, std::int32_t scheme) {
  const std::size_t k = 16 - data.size();
  switch (scheme) {
    case 0: return data + std::string(k, static_cast<char>(k));
    case 1: return data + std::string(k - 1, '\0') + static_cast<char>(k);
    case 2: return data + '\x80' + std::string(k - 1, '\0');
    case 3: return data + std::string(k, '\0');
    default: return data + std::string(k, '\0');  // writes nothing; constructors start from zeros
  }
}

// The bytes left after stripping a 16-byte block, or nothing when malformed.
inline std::optional<std::string> referenceStripped(const std::string& block, std::int32_t scheme) {
  auto at = [&](std::size_t i) { return static_cast<unsigned char>(block[i]); };
  if (scheme == 0 || scheme == 1) {
    const std::size_t n = at(15);
    if (n > 16) return std::nullopt;
    for (std::size_t i = 16 - n; i < 15; ++i) {
      if (at(i) != (scheme == 0 ? n : 0)) return std::nullopt;
    }
    return block.substr(0, 16 - n);
  }
  if (scheme == 2 || scheme == 3) {
    std::size_t i = 15;
    while (i > 0 && at(i) == 0) --i;
    if (scheme == 3) return block.substr(0, i + 1);
    if (at(i) != 0x80) return std::nullopt;
    return block.substr(0, i);
  }
  return block;
}

}  // namespace unseal::fuzz
