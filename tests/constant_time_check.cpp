// The constant-time check, run under valgrind's memcheck
// (scripts/constant_time.sh). The key and the data are marked undefined, so
// memcheck reports every branch and every memory address that depends on
// them. Each AES-256 implementation built in and runnable here goes through
// the key schedule, both single-block ciphers and every mode's run, over a
// text that fills whole batches and leaves every remainder, and counts a
// Block16 counter up. The IV and the counter are marked undefined too: a
// generator's counter is secret. The table gives memcheck's reports per
// operation.
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

namespace detail = unseal::detail;

// Blocks enough for two batches of every implementation and a remainder of
// every size below one; CFB8 adds a partial block.
constexpr std::size_t kTextBytes = 16 * 47 + 5;

const char* const kRunNames[] = {"ECB encrypt",  "ECB decrypt",  "CBC encrypt", "CBC decrypt",
                                 "PCBC encrypt", "PCBC decrypt", "CFB encrypt", "CFB decrypt",
                                 "CFB8 encrypt", "CFB8 decrypt", "OFB",         "CTR"};
static_assert(std::size(kRunNames) == detail::kModeRunCount);

// The reports memcheck made during f, printed as a row of the table.
template <class F>
unsigned long row(const detail::Aes256Impl& impl, const char* operation, F f) {
  const unsigned long before = VALGRIND_COUNT_ERRORS;
  f();
  const unsigned long reports = VALGRIND_COUNT_ERRORS - before;
  std::printf("| %s | %s | %lu |\n", impl.name, operation, reports);
  return reports;
}

// Every operation on one implementation; returns the total of reports.
unsigned long check(const detail::Aes256Impl& impl) {
  std::uint8_t key[32], scheduleEnd[32], block[16], iv[16];
  std::vector<std::uint8_t> text(kTextBytes, 0x5a), out(kTextBytes, 0);
  for (std::size_t i = 0; i < 32; ++i) key[i] = static_cast<std::uint8_t>(i * 7 + 1);
  std::memset(block, 0xa5, sizeof block);
  VALGRIND_MAKE_MEM_UNDEFINED(key, sizeof key);
  VALGRIND_MAKE_MEM_UNDEFINED(block, sizeof block);
  VALGRIND_MAKE_MEM_UNDEFINED(text.data(), text.size());

  unsigned long total = row(impl, "key schedule", [&] { impl.scheduleEnd(key, scheduleEnd); });
  total += row(impl, "encrypt block", [&] { impl.encrypt(key, block); });
  total += row(impl, "decrypt block", [&] { impl.decrypt(scheduleEnd, block); });
  for (int run = 0; run < detail::kModeRunCount; ++run) {
    const auto mode = static_cast<detail::ModeRun>(run);
    const bool bytewise = mode == detail::Cfb8Encrypt || mode == detail::Cfb8Decrypt;
    std::memset(iv, 0xff, sizeof iv);  // a counter whose carry runs through every byte
    VALGRIND_MAKE_MEM_UNDEFINED(iv, sizeof iv);
    total += row(impl, kRunNames[run], [&] {
      impl.runs[static_cast<std::size_t>(run)](detail::runsFromScheduleEnd(mode) ? scheduleEnd : key, iv,
                                               text.data(), out.data(),
                                               bytewise ? kTextBytes : kTextBytes / 16 * 16);
    });
  }
  unseal::Block16 counter = unseal::Block16::fromBytes(iv, 16);
  total += row(impl, "Block16 increment", [&] { counter.increment(); });
  return total;
}

}  // namespace

int main() {
  if (!RUNNING_ON_VALGRIND) {
    std::fprintf(stderr, "run this under valgrind: valgrind --error-limit=no constant_time_check\n");
    return 2;
  }
  std::printf("| implementation | operation | memcheck reports |\n|---|---|---|\n");
  bool ok = true;
  std::string verdicts;
  for (const detail::Aes256Impl* impl : detail::aes256Impls()) {
    verdicts += impl->name;
    if (!detail::cpuRuns(detail::cpuFeatures(), impl->needs)) {
      verdicts += ": not runnable here, not checked\n";
      continue;
    }
    const unsigned long reports = check(*impl);
    const bool reference = impl == &detail::aes256Portable;
    const bool expected = reference ? reports > 0 : reports == 0;
    ok = ok && expected;
    verdicts += ": " + std::to_string(reports) + " reports, " +
                (reference ? "the byte-table reference, no CPU is given it; reports expected"
                           : "constant time required") +
                (expected ? "" : ": FAILED") + "\n";
  }
  std::printf("\n%s", verdicts.c_str());
  return ok ? 0 : 1;
}
