// The output file's life: it appears under its name whole, or not at all.
//
// create() makes a new file beside the output path, `.<name>.XXXXXX` in the
// same folder (<name> shortened when needed to keep within the file system's
// name length), with a unique suffix, mode 0600, never through a symbolic
// link (O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC), and registers it to be
// removed should SIGINT, SIGTERM or SIGHUP end the run (app/signals.h).
// fd() is where the output is written.
// commit(inputMode) gives the file the permission bits inputMode & 0666 less
// the umask (what a new copy of the input gets), closes it and renames it
// over the output path, which replaces a file or a symbolic link there and
// never writes through it. True only when every step succeeded.
// An OutputFile that goes without a successful commit (a failure, an
// exception) removes its temporary file; the output path stays as it was.
// Nothing is synced to disk: like cp, the rename orders nothing after a crash.
#pragma once

#include <sys/types.h>

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
  bool commit(mode_t inputMode);

 private:
  void closeFile() noexcept;
  void discard() noexcept;

  std::string path_;
  std::string temporaryPath_;  // empty while no temporary file exists
  int fd_ = -1;
};

}  // namespace unseal
