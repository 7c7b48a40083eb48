// Looking for secrets where nothing should hold them any more: the stack a
// call left below its caller's frame, the vector registers right after it,
// and every writable mapping of the process (heap, static buffers, other
// threads' stacks).
//
// Secrets holds the byte strings searched for (8 to 16 bytes: round keys,
// keystream or plaintext blocks), each named by a kind and a number. They are
// kept XORed with a mask (masked()), so the search never finds its own
// copies; wipe_test.cpp computes some in a child process, so that the test
// never holds them unmasked at all. The searches look at every byte offset.
//
// observe(operation, observed) runs the operation on a thread whose stack is
// fresh memory, then saves the vector registers (x86-64: zmm0-31 where the OS
// has AVX-512, else ymm0-15 where it has AVX, else xmm0-15; 32-bit x86 the
// first eight of those; AArch64: v0-v31; elsewhere none) and copies the stack
// below the thread's frame, with no call in between. The operation may save
// the registers at points of its own too (Observed::takeRegisters).
//
// atDepth(bytes, f) calls f with `bytes` more of the stack in use: what f's
// callees leave lies deeper than the frames of later calls made at lesser
// depth, which would otherwise overwrite it before it is looked at.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace unseal::test {

// bytes XORed with mask, repeated from its first byte; read through volatile,
// one byte at a time, so that no vector register holds them.
std::string masked(std::string_view mask, std::string_view bytes);

class Observed;

class Secrets {
 public:
  static constexpr std::size_t kMaskSize = 16;
  explicit Secrets(std::string_view mask);

  // Found as "<kind> <number>"; add masks the bytes, addMasked takes them masked.
  void addMasked(const std::string& kind, std::size_t number, std::string_view maskedBytes);
  void add(const std::string& kind, std::size_t number, std::string_view bytes) {
    addMasked(kind, number, masked(mask_, bytes));
  }

  // How many were found, and the first few places ("round key 3 in the stack at +0x40").
  struct Findings {
    std::vector<std::string> lines;
    std::size_t count = 0;
    std::string report() const;
  };
  void find(const void* p, std::size_t n, const std::string& where, Findings& findings) const;
  // The observed stack and each register snapshot.
  void find(const Observed& observed, Findings& findings) const;
  // Every readable, writable mapping but those over 128 MiB (a sanitizer's
  // shadow memory; what the tests run is far smaller).
  void findInProcessMemory(Findings& findings) const;

 private:
  struct Secret {
    std::uint32_t kind, number;
    std::uint8_t length, masked[16];
  };
  std::string mask_;
  std::vector<std::string> kinds_;
  std::vector<Secret> secrets_;
  std::unordered_multimap<std::uint64_t, std::uint32_t> byPrefix_;  // masked first 8 bytes -> secret
  std::vector<std::uint64_t> prefilter_;                            // one bit per hashed prefix
};

// What observe() saw: the stack below the frame that ran the operation, and
// the vector registers at each takeRegisters(), the operation's own and then
// one after it, in memory allocated up front. Wiped when it goes.
class Observed {
 public:
  explicit Observed(std::size_t snapshots);  // the operation's own
  ~Observed();
  Observed(const Observed&) = delete;
  Observed& operator=(const Observed&) = delete;

  // Saves the registers now, unless the room for them is used up.
  __attribute__((always_inline)) inline void takeRegisters();
  std::size_t snapshots() const { return taken_; }
  std::string_view registers(std::size_t i) const;

  std::vector<std::uint64_t> stack;
  bool ran = false;  // false when no thread could be started

 private:
  static constexpr std::size_t kMaxBytes = 32 * 64;  // x86-64 with AVX-512: 32 x 64
  std::vector<std::uint8_t> registers_;
  std::size_t taken_ = 0, capacity_;
  std::size_t size_ = 0;  // bytes per snapshot; 0 where none are read
  int width_ = 16;        // x86: 16 (xmm), 32 (ymm) or 64 (zmm0-31)
};

// The operation gets the Observed to take its own snapshots.
void observe(const std::function<void(Observed&)>& operation, Observed& observed);

void atDepth(std::size_t bytes, const std::function<void()>& f);

// Inline, so that nothing runs between the operation and the saving but what
// the caller wrote.
inline void Observed::takeRegisters() {
  if (taken_ == capacity_) return;
  std::uint8_t* const p = registers_.data() + taken_++ * kMaxBytes;
  // clang-format off
#if defined(__x86_64__) || defined(__i386__)
#define UNSEAL_SAVE(i, r, w, n) i " %%" r #n ", " #n "*" w "(%0)\n\t"
#define UNSEAL_SAVE_8(i, r, w, a, b, c, d, e, f, g, h) UNSEAL_SAVE(i, r, w, a) UNSEAL_SAVE(i, r, w, b) \
  UNSEAL_SAVE(i, r, w, c) UNSEAL_SAVE(i, r, w, d) UNSEAL_SAVE(i, r, w, e) UNSEAL_SAVE(i, r, w, f) \
  UNSEAL_SAVE(i, r, w, g) UNSEAL_SAVE(i, r, w, h)
#if defined(__x86_64__)
#define UNSEAL_SAVE_ALL(i, r, w) UNSEAL_SAVE_8(i, r, w, 0, 1, 2, 3, 4, 5, 6, 7) \
  UNSEAL_SAVE_8(i, r, w, 8, 9, 10, 11, 12, 13, 14, 15)
  if (width_ == 64) {
    asm volatile(UNSEAL_SAVE_ALL("vmovdqu64", "zmm", "64")
                 UNSEAL_SAVE_8("vmovdqu64", "zmm", "64", 16, 17, 18, 19, 20, 21, 22, 23)
                 UNSEAL_SAVE_8("vmovdqu64", "zmm", "64", 24, 25, 26, 27, 28, 29, 30, 31)
                 : : "r"(p) : "memory");
    return;
  }
#else
#define UNSEAL_SAVE_ALL(i, r, w) UNSEAL_SAVE_8(i, r, w, 0, 1, 2, 3, 4, 5, 6, 7)
#endif
  if (width_ == 32) {
    asm volatile(UNSEAL_SAVE_ALL("vmovdqu", "ymm", "32") : : "r"(p) : "memory");
  } else {
    asm volatile(UNSEAL_SAVE_ALL("movdqu", "xmm", "16") : : "r"(p) : "memory");
  }
#undef UNSEAL_SAVE
#undef UNSEAL_SAVE_8
#undef UNSEAL_SAVE_ALL
#elif defined(__aarch64__)
  asm volatile(
      "stp q0, q1, [%0, #0]\n\tstp q2, q3, [%0, #32]\n\tstp q4, q5, [%0, #64]\n\tstp q6, q7, [%0, #96]\n\t"
      "stp q8, q9, [%0, #128]\n\tstp q10, q11, [%0, #160]\n\tstp q12, q13, [%0, #192]\n\t"
      "stp q14, q15, [%0, #224]\n\tstp q16, q17, [%0, #256]\n\tstp q18, q19, [%0, #288]\n\t"
      "stp q20, q21, [%0, #320]\n\tstp q22, q23, [%0, #352]\n\tstp q24, q25, [%0, #384]\n\t"
      "stp q26, q27, [%0, #416]\n\tstp q28, q29, [%0, #448]\n\tstp q30, q31, [%0, #480]"
      : : "r"(p) : "memory");
#else
  (void)p;
#endif
  // clang-format on
}

}  // namespace unseal::test
