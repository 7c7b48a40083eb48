// What the command asks the file system before it makes its output.
//
// isDirectory(path): path names a directory, through symbolic links too.
// isSpecialFile(path): path names, through symbolic links too, what is
// neither a regular file nor a directory: a device, a FIFO, a socket.
// namesFile(path, file): path names the file whose fstat is `file` (the same
// device and inode), be it through the same name, a symbolic or a hard link.
// isUnwritableFile(path): path itself (not followed if it is a symbolic
// link) is a regular file that this process may not open for writing (errno
// says why). Such a file is not ours to replace; a symbolic link is
// replaced, its target never written.
// whyNotReplaceable(path): null when a rename could put a new file at path,
// as far as can be told before making one: the path is not empty, it and
// its last name fit the limits of the system and of the folder's file
// system; neither the folder nor what stands at the path (not followed) is
// append-only or immutable; and a folder with the sticky bit lets this
// process replace what stands there (this user owns it or the folder, or may
// override that). Otherwise why not: a short sentence, or strerror's text.
// kPathTooLong is its sentence for a path beyond the system's limit.
#pragma once

#include <sys/stat.h>

#include <string>

namespace unseal {

bool isDirectory(const char* path) noexcept;
bool isSpecialFile(const char* path) noexcept;
bool namesFile(const char* path, const struct stat& file) noexcept;
bool isUnwritableFile(const char* path) noexcept;
const char* whyNotReplaceable(const std::string& path);

inline constexpr const char* kPathTooLong = "the path is longer than the system allows";

}  // namespace unseal
