// What the command asks the file system before it opens its output.
//
// Both follow symbolic links, as opening the path would.
// isDirectory(path): true when path names a directory.
// sameFile(a, b): true when both paths exist and name one file (the same
// device and inode), be it through the same name, a symbolic or a hard link.
#pragma once

namespace unseal {

bool isDirectory(const char* path) noexcept;
bool sameFile(const char* a, const char* b) noexcept;

}  // namespace unseal
