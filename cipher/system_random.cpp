#include "unseal/system_random.h"

#include <sys/random.h>

#include <cerrno>
#include <system_error>

namespace unseal {

std::string systemRandomBytes16() {
  std::string bytes(16, '\0');
  std::size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::getrandom(bytes.data() + got, bytes.size() - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "getrandom");
    }
    got += static_cast<std::size_t>(n);
  }
  return bytes;
}

}  // namespace unseal
