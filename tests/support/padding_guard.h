// Restores the process-wide 16-byte padding setting when a test ends.
#pragma once

#include <cstdint>

#include "unseal/block.h"

namespace unseal::test {

class PaddingGuard {
 public:
  PaddingGuard() : saved_(Block16::currentPaddingScheme()) {}
  explicit PaddingGuard(std::int32_t scheme) : PaddingGuard() { Block16::setPaddingScheme(scheme); }
  ~PaddingGuard() { Block16::setPaddingScheme(saved_); }
  PaddingGuard(const PaddingGuard&) = delete;
  PaddingGuard& operator=(const PaddingGuard&) = delete;

 private:
  std::int32_t saved_;
};

}  // namespace unseal::test
