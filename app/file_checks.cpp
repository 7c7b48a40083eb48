#include "app/file_checks.h"

#include <fcntl.h>
#include <unistd.h>

namespace unseal {

bool isDirectory(const char* path) noexcept {
  struct stat info {};
  return ::stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

bool namesFile(const char* path, const struct stat& file) noexcept {
  struct stat info {};
  return ::stat(path, &info) == 0 && info.st_dev == file.st_dev && info.st_ino == file.st_ino;
}

bool isUnwritableFile(const char* path) noexcept {
  struct stat info {};
  return ::lstat(path, &info) == 0 && S_ISREG(info.st_mode) &&
         ::faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) != 0;
}

}  // namespace unseal
