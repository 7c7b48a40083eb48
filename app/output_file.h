// The output file's life: it appears under its name whole, or not at all.
//
// create() makes a new file beside the output path, `.<name>.XXXXXX` in the
// same folder (<name> shortened when needed to keep within the file system's
// name length), with a unique suffix, mode 0600, never through a symbolic
// link (O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC), and registers it to be
// removed should SIGINT, SIGTERM or SIGHUP end the run (app/signals.h).
// fd() is where the output is written, from its start on, in order.
// reserve(size) allocates the file's blocks up to `size` bytes at once
// (fallocate), so a full disk or a file size limit shows before anything is
// decrypted: false then. Where the file system cannot reserve, it does
// nothing and returns true; the writes allocate as they go.
// commit(inputMode) cuts the file to the bytes written through fd() (a
// reservation for an input that then turned out shorter leaves nothing
// behind), gives it the permission bits inputMode & 0666 less the umask
// (what a new copy of the input gets), closes it and renames it over the
// output path, which replaces a file or a symbolic link there and never
// writes through it. True only when every step succeeded. Call it with no
// other thread of the process running (it reads the umask by setting it).
// An OutputFile that goes without a successful commit (a failure, an
// exception) removes its temporary file; the output path stays as it was.
// Nothing is synced to disk: like cp, the rename orders nothing after a crash.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace unseal {

class OutputFile {
 public:
  explicit OutputFile(std::string path);
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();

  bool create();
  int fd() const noexcept { return fd_; }
  bool reserve(std::uint64_t size) noexcept;
  bool commit(mode_t inputMode);

 private:
  void closeFile() noexcept;
  void discard() noexcept;

  std::string path_;
  std::string temporaryPath_;  // empty while no temporary file exists
  int fd_ = -1;
};

}  // namespace unseal
