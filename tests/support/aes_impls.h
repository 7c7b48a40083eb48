// The AES-256 implementations this machine runs, for tests that run on each:
// a test suite derives from OnEachImpl (or takes an implementation as the
// first element of its parameter tuple), binds its objects to impl(), and is
// instantiated with INSTANTIATE_ON_EACH_IMPL. Test names end in the
// implementation's name ("/portable", "/bitsliced", "/vperm", "/aes_ni",
// "/vaes", "/armv8").
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "cipher/aes256_impl.h"

namespace unseal::test {

using Impl = detail::Aes256Impl;

inline std::vector<const Impl*> availableImpls() {
  std::vector<const Impl*> impls;
  for (const Impl* impl : detail::aes256Impls()) {
    if (detail::cpuRuns(detail::cpuFeatures(), impl->needs)) impls.push_back(impl);
  }
  return impls;
}

// "aes-ni" -> "aes_ni": test names take letters, digits and underscores.
inline std::string implName(const Impl& impl) {
  std::string name = impl.name;
  for (char& c : name) {
    if (c == '-') c = '_';
  }
  return name;
}

class OnEachImpl : public ::testing::TestWithParam<const Impl*> {
 protected:
  const Impl& impl() const { return *GetParam(); }
  // The object, running impl(): bound(Aes256(key)).
  template <class T>
  T bound(T object) const {
    return detail::boundTo(impl(), std::move(object));
  }
};

inline std::string implParamName(const ::testing::TestParamInfo<const Impl*>& info) {
  return implName(*info.param);
}

#define INSTANTIATE_ON_EACH_IMPL(suite)                                                       \
  INSTANTIATE_TEST_SUITE_P(Aes, suite, ::testing::ValuesIn(::unseal::test::availableImpls()), \
                           ::unseal::test::implParamName)

}  // namespace unseal::test
