// Test main that runs every test once per AES-256 implementation this CPU
// can execute (the portable code, then AES-NI where present), switching the
// process-wide choice between repetitions.
#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "cipher/aes256_impl.h"

namespace {

std::vector<const unseal::detail::Aes256Impl*> availablePaths() {
  std::vector<const unseal::detail::Aes256Impl*> paths{&unseal::detail::aes256Portable};
  if (unseal::detail::aes256HardwareAvailable()) paths.push_back(&unseal::detail::aes256Hardware);
  return paths;
}

class AesPathEnvironment final : public testing::Environment {
 public:
  void SetUp() override {
    const auto paths = availablePaths();
    const auto* path = paths[next_++ % paths.size()];
    unseal::detail::selectAes256Impl(*path);
    std::printf("[ AES path ] %s\n", path->name);
  }

 private:
  std::size_t next_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  // One repetition per path; the environment is set up again at each.
  if (GTEST_FLAG_GET(repeat) == 1) GTEST_FLAG_SET(repeat, static_cast<int>(availablePaths().size()));
  GTEST_FLAG_SET(recreate_environments_when_repeating, true);
  testing::AddGlobalTestEnvironment(new AesPathEnvironment);
  return RUN_ALL_TESTS();
}
