// What the command asks the file system before it makes its output.
//
// isDirectory(path): path names a directory, through symbolic links too.
// namesFile(path, file): path names the file whose fstat is `file` (the same
// device and inode), be it through the same name, a symbolic or a hard link.
// isUnwritableFile(path): path itself (not followed if it is a symbolic
// link) is a regular file that this process may not open for writing. Such
// a file is not ours to replace; a symbolic link is replaced, its target
// never written.
#pragma once

#include <sys/stat.h>

namespace unseal {

bool isDirectory(const char* path) noexcept;
bool namesFile(const char* path, const struct stat& file) noexcept;
bool isUnwritableFile(const char* path) noexcept;

}  // namespace unseal
