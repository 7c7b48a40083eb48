// Linked with lazy binding (-z lazy), as programs are by default: the first
// call through each PLT entry enters the dynamic linker's resolver, which
// saves every vector register on the stack. Constructing a key object, the
// library's first work here, must not leave a copy of the key there.
#include <cstdio>

#include "unseal/aes256.h"

namespace {

const char kKey[] = "lazy binding probe key, 32 bytes";  // off the stack

__attribute__((noinline)) void useKey() {
  const unseal::Aes256 aes{std::string_view(kKey, 32)};
  asm volatile("" : : "r"(&aes) : "memory");
}

// How many of the key's two halves the 16 KiB below this frame hold.
__attribute__((noinline, no_sanitize("address"))) int copiesBelow() {
  const auto* top = static_cast<const volatile unsigned char*>(__builtin_frame_address(0));
  int found = 0;
  for (const volatile unsigned char* p = top - 16 * 1024; p < top - 16; ++p) {
    for (int half = 0; half < 32; half += 16) {
      int i = 0;
      while (i < 16 && p[i] == static_cast<unsigned char>(kKey[half + i])) ++i;
      found += i == 16;
    }
  }
  return found;
}

}  // namespace

int main() {
  useKey();
  const int found = copiesBelow();
  std::printf("%d copies of a key half on the stack\n", found);
  return found == 0 ? 0 : 1;
}
