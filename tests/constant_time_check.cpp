// The constant-time check, run under valgrind's memcheck
// (scripts/constant_time.sh). The key and the data are marked undefined, so
// memcheck reports every branch and every memory address that depends on
// them. Each AES-256 implementation built in and runnable here goes through
// the key schedule, both single-block ciphers and every mode's run, over a
// text that fills whole batches and leaves every remainder; the IV stays
// defined (it is public). The table gives memcheck's reports per operation.
// It fails if an implementation some CPU is given reports anything, or if the
// byte-table reference reports nothing (then the check could not fail).
#include <valgrind/memcheck.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cipher/aes256_impl.h"

namespace {

using unseal::detail::Aes256Impl;

// Blocks enough for two batches of every implementation and a remainder of
// every size below one; CFB8 adds a partial block.
constexpr std::size_t kTextBytes = 16 * 47 + 5;

struct Secrets {
  std::uint8_t key[32], scheduleEnd[32], block[16], iv[16];
  std::vector<std::uint8_t> text, out;
};

void poison(void* p, std::size_t n) { VALGRIND_MAKE_MEM_UNDEFINED(p, n); }

// Reports memcheck made during f.
template <class F>
unsigned long reportsDuring(F f) {
  const unsigned long before = VALGRIND_COUNT_ERRORS;
  f();
  return VALGRIND_COUNT_ERRORS - before;
}

const char* const kRunNames[] = {"ECB encrypt",  "ECB decrypt",  "CBC encrypt", "CBC decrypt",
                                 "PCBC encrypt", "PCBC decrypt", "CFB encrypt", "CFB decrypt",
                                 "CFB8 encrypt", "CFB8 decrypt", "OFB",         "CTR"};
static_assert(std::size(kRunNames) == unseal::detail::kModeRunCount);

// Every operation on one implementation; returns the total of reports.
unsigned long check(const Aes256Impl& impl) {
  Secrets s;
  s.text.assign(kTextBytes, 0x5a);
  s.out.assign(kTextBytes, 0);
  for (std::size_t i = 0; i < 32; ++i) s.key[i] = static_cast<std::uint8_t>(i * 7 + 1);
  std::memset(s.block, 0xa5, sizeof s.block);
  poison(s.key, sizeof s.key);
  poison(s.block, sizeof s.block);
  poison(s.text.data(), s.text.size());

  unsigned long total = 0;
  const auto row = [&](const char* operation, unsigned long reports) {
    std::printf("| %s | %s | %lu |\n", impl.name, operation, reports);
    total += reports;
  };
  row("key schedule", reportsDuring([&] { impl.scheduleEnd(s.key, s.scheduleEnd); }));
  row("encrypt block", reportsDuring([&] { impl.encrypt(s.key, s.block); }));
  row("decrypt block", reportsDuring([&] { impl.decrypt(s.scheduleEnd, s.block); }));
  for (int run = 0; run < unseal::detail::kModeRunCount; ++run) {
    const auto mode = static_cast<unseal::detail::ModeRun>(run);
    const std::uint8_t* key = unseal::detail::runsFromScheduleEnd(mode) ? s.scheduleEnd : s.key;
    const bool bytewise = mode == unseal::detail::Cfb8Encrypt || mode == unseal::detail::Cfb8Decrypt;
    const std::size_t length = bytewise ? kTextBytes : kTextBytes / 16 * 16;
    std::memset(s.iv, 0x3c, sizeof s.iv);
    row(kRunNames[run], reportsDuring([&] {
          impl.runs[static_cast<std::size_t>(run)](key, s.iv, s.text.data(), s.out.data(), length);
        }));
  }
  return total;
}

}  // namespace

int main() {
  if (!RUNNING_ON_VALGRIND) {
    std::fprintf(stderr, "run this under valgrind: valgrind --error-limit=no %s\n", "constant_time_check");
    return 2;
  }
  std::printf("| implementation | operation | memcheck reports |\n|---|---|---|\n");
  bool ok = true;
  std::string verdicts;
  for (const Aes256Impl* impl : unseal::detail::aes256Impls()) {
    if (!unseal::detail::cpuRuns(unseal::detail::cpuFeatures(), impl->needs)) {
      verdicts += std::string(impl->name) + ": not runnable here, not checked\n";
      continue;
    }
    const unsigned long reports = check(*impl);
    const bool reference = impl == &unseal::detail::aes256Portable;
    const bool expected = reference ? reports > 0 : reports == 0;
    ok = ok && expected;
    verdicts += std::string(impl->name) + ": " + std::to_string(reports) + " reports, " +
                (reference ? "the byte-table reference, no CPU is given it; reports expected"
                           : "constant time required") +
                (expected ? "" : ": FAILED") + "\n";
  }
  std::printf("\n%s", verdicts.c_str());
  return ok ? 0 : 1;
}
