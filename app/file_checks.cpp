#include "app/file_checks.h"

#include <sys/stat.h>

namespace unseal {

bool isDirectory(const char* path) noexcept {
  struct stat info {};
  return ::stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

bool sameFile(const char* a, const char* b) noexcept {
  struct stat first {
  }, second{};
  return ::stat(a, &first) == 0 && ::stat(b, &second) == 0 && first.st_dev == second.st_dev &&
         first.st_ino == second.st_ino;
}

}  // namespace unseal
