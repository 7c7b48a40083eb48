#include "support/secret_scan.h"

#include <alloca.h>
#include <pthread.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "unseal/wipe.h"

namespace unseal::test {
namespace {

constexpr std::size_t kPrefilterBits = std::size_t{1} << 24;

__attribute__((no_sanitize("address"))) std::uint64_t load64(const std::uint8_t* p) {
  std::uint64_t v = 0;
  std::memcpy(&v, p, 8);
  return v;
}

std::size_t prefilterBit(std::uint64_t maskedPrefix) {
  return static_cast<std::size_t>((maskedPrefix * 0x9E3779B97F4A7C15ull) >> 40);
}

}  // namespace

std::string masked(std::string_view mask, std::string_view bytes) {
  const volatile char* const p = bytes.data();
  std::string out(bytes.size(), '\0');
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<char>(p[i] ^ mask[i % mask.size()]);
  return out;
}

Secrets::Secrets(std::string_view mask) : mask_(mask), prefilter_(kPrefilterBits / 64, 0) {}

void Secrets::addMasked(const std::string& kind, std::size_t number, std::string_view maskedBytes) {
  const auto found = std::find(kinds_.begin(), kinds_.end(), kind);
  Secret secret{static_cast<std::uint32_t>(found - kinds_.begin()),
                static_cast<std::uint32_t>(number),
                static_cast<std::uint8_t>(maskedBytes.size()),
                {}};
  if (found == kinds_.end()) kinds_.push_back(kind);
  std::memcpy(secret.masked, maskedBytes.data(), maskedBytes.size());
  const std::uint64_t prefix = load64(secret.masked);
  byPrefix_.emplace(prefix, static_cast<std::uint32_t>(secrets_.size()));
  secrets_.push_back(secret);
  prefilter_[prefilterBit(prefix) / 64] |= std::uint64_t{1} << (prefilterBit(prefix) % 64);
}

// Not instrumented: it reads any memory, the AddressSanitizer's own too.
__attribute__((no_sanitize("address"))) void Secrets::find(const void* area, std::size_t n,
                                                           const std::string& where,
                                                           Findings& findings) const {
  const auto* p = static_cast<const std::uint8_t*>(area);
  const std::uint64_t mask = load64(reinterpret_cast<const std::uint8_t*>(mask_.data()));
  for (std::size_t at = 0; at + 8 <= n; ++at) {
    const std::uint64_t prefix = load64(p + at) ^ mask;
    const std::size_t bit = prefilterBit(prefix);
    if ((prefilter_[bit / 64] >> (bit % 64) & 1) == 0) continue;
    const auto [first, last] = byPrefix_.equal_range(prefix);
    for (auto it = first; it != last; ++it) {
      const Secret& s = secrets_[it->second];
      if (at + s.length > n) continue;
      std::size_t i = 8;
      while (i < s.length && (p[at + i] ^ static_cast<std::uint8_t>(mask_[i])) == s.masked[i]) ++i;
      if (i < s.length) continue;
      if (findings.count++ < 12) {
        std::ostringstream line;
        line << kinds_[s.kind] << ' ' << s.number << " in " << where << " at +0x" << std::hex << at;
        findings.lines.push_back(line.str());
      }
      break;
    }
  }
}

void Secrets::find(const Observed& observed, Findings& findings) const {
  find(observed.stack.data(), observed.stack.size() * sizeof observed.stack[0], "the stack", findings);
  for (std::size_t i = 0; i < observed.snapshots(); ++i) {
    const std::string_view registers = observed.registers(i);
    find(registers.data(), registers.size(), "vector registers " + std::to_string(i), findings);
  }
}

void Secrets::findInProcessMemory(Findings& findings) const {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    unsigned long long begin = 0, end = 0;
    char perms[5] = {};
    int pathAt = 0;
    if (std::sscanf(line.c_str(), "%llx-%llx %4s %*s %*s %*s %n", &begin, &end, perms, &pathAt) < 3) continue;
    if (perms[0] != 'r' || perms[1] != 'w' || end - begin > (1ull << 27)) continue;
    std::string where = line.substr(static_cast<std::size_t>(pathAt));
    find(reinterpret_cast<const void*>(static_cast<std::uintptr_t>(begin)),
         static_cast<std::size_t>(end - begin), where.empty() ? "anonymous memory" : where, findings);
  }
}

std::string Secrets::Findings::report() const {
  std::string text = std::to_string(count) + " found";
  for (const std::string& line : lines) text += "\n  " + line;
  return text;
}

Observed::Observed(std::size_t snapshots)
    : registers_((snapshots + 1) * kMaxBytes, 0), capacity_(snapshots + 1) {
#if defined(__x86_64__)
  width_ = __builtin_cpu_supports("avx512f") ? 64 : __builtin_cpu_supports("avx") ? 32 : 16;
  size_ = width_ == 64 ? 32 * 64 : 16 * static_cast<std::size_t>(width_);
#elif defined(__i386__)
  width_ = __builtin_cpu_supports("avx") ? 32 : 16;
  size_ = 8 * static_cast<std::size_t>(width_);
#elif defined(__aarch64__)
  size_ = 32 * 16;
#endif
}

Observed::~Observed() {
  secureWipe(registers_.data(), registers_.size());
  secureWipe(stack.data(), stack.size() * sizeof stack[0]);
}

std::string_view Observed::registers(std::size_t i) const {
  return {reinterpret_cast<const char*>(registers_.data()) + i * kMaxBytes, size_};
}

namespace {

constexpr std::size_t kStackWords = std::size_t{1} << 17;  // 1 MiB

struct ThreadArgs {
  const std::function<void(Observed&)>* operation;
  Observed* observed;
  const volatile std::uint64_t* base;
};

// The thread's body: runs the operation, saves the registers, then copies
// everything below its own frame, which is where the operation's frames were.
// The copy makes no call and reads through volatile, so nothing overwrites
// that area before it is read. Not instrumented: the area belongs to frames
// that have returned.
__attribute__((noinline, no_sanitize("address"))) void* runThenCopyStack(void* arg) {
  const ThreadArgs args = *static_cast<const ThreadArgs*>(arg);
  (*args.operation)(*args.observed);
  args.observed->takeRegisters();
  const auto* top = static_cast<const volatile std::uint64_t*>(__builtin_frame_address(0));
  std::uint64_t* const copy = args.observed->stack.data();
  for (std::size_t i = 0; args.base + i < top && i < kStackWords; ++i) copy[i] = args.base[i];
  return nullptr;
}

}  // namespace

void observe(const std::function<void(Observed&)>& operation, Observed& observed) {
  observed.stack.assign(kStackWords, 0);
  const std::size_t bytes = 8 * kStackWords;
  void* mapped = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return;
  ThreadArgs args{&operation, &observed, static_cast<const volatile std::uint64_t*>(mapped)};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstack(&attr, mapped, bytes);
  pthread_t thread;
  observed.ran = pthread_create(&thread, &attr, runThenCopyStack, &args) == 0;
  if (observed.ran) pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  secureWipe(mapped, bytes);
  munmap(mapped, bytes);
}

__attribute__((noinline)) void atDepth(std::size_t bytes, const std::function<void()>& f) {
  volatile char* const padding = static_cast<char*>(alloca(bytes));
  padding[0] = 0;
  f();
  padding[bytes - 1] = 0;  // keeps the area in use until f has returned
}

}  // namespace unseal::test
