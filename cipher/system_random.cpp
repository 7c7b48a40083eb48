#include "unseal/system_random.h"

#include <sys/random.h>

#include <cerrno>
#include <system_error>

namespace unseal {

void systemRandomFill(std::span<std::byte> out) {
  std::size_t got = 0;
  while (got < out.size()) {
    const ssize_t n = ::getrandom(out.data() + got, out.size() - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "getrandom");
    }
    got += static_cast<std::size_t>(n);
  }
}

std::string systemRandomBytes16() {
  std::string bytes(16, '\0');
  systemRandomFill(std::as_writable_bytes(std::span(bytes)));
  return bytes;
}

}  // namespace unseal
