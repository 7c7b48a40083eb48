#include "app/file_checks.h"

#include <fcntl.h>
#include <limits.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace unseal {
namespace {

// The process may replace other users' files in a sticky folder (CAP_FOWNER).
bool mayOverrideOwnership() noexcept {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  return ::syscall(SYS_capget, &header, data) == 0 && (data[0].effective & (1u << CAP_FOWNER)) != 0;
}

// What statx says of path (not followed): false when it does not exist.
bool describe(const char* path, struct statx& info) noexcept {
  return ::statx(AT_FDCWD, path, AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_MODE | STATX_UID, &info) == 0;
}

bool appendOnlyOrImmutable(const struct statx& info) noexcept {
  return (info.stx_attributes & (STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE)) != 0;
}

}  // namespace

bool isDirectory(const char* path) noexcept {
  struct stat info {};
  return ::stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

bool isSpecialFile(const char* path) noexcept {
  struct stat info {};
  return ::stat(path, &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode);
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

const char* whyNotReplaceable(const std::string& path) {
  if (path.empty()) return std::strerror(ENOENT);
  if (path.size() >= PATH_MAX) return kPathTooLong;
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::size_t nameLength = slash == std::string::npos ? path.size() : path.size() - slash - 1;
  const long nameMax = ::pathconf(folder.c_str(), _PC_NAME_MAX);
  if (nameMax > 0 && nameLength > static_cast<std::size_t>(nameMax))
    return "the name is too long for its folder";

  struct statx folderInfo {};
  if (!describe(folder.c_str(), folderInfo)) return std::strerror(errno);
  if (appendOnlyOrImmutable(folderInfo)) return "the folder is append-only or immutable";
  struct statx existing {};
  if (!describe(path.c_str(), existing)) return nullptr;  // nothing to replace
  if (appendOnlyOrImmutable(existing)) return "the output is append-only or immutable";
  const uid_t user = ::geteuid();
  const bool mayReplace = (folderInfo.stx_mode & S_ISVTX) == 0 || existing.stx_uid == user ||
                          folderInfo.stx_uid == user || mayOverrideOwnership();
  return mayReplace ? nullptr : "the output belongs to another user, in a sticky folder";
}

}  // namespace unseal
