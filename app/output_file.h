// The output file's life: it appears under its name whole, or not at all.
//
// OutputFile(path, existing): the output at `path`; an existing file there is
// replaced once the output is complete (ExistingOutput::Replace), or refused
// (ExistingOutput::Refuse: at create, and at commit should one appear
// meanwhile).
// create() first checks that a finished file could be put in place
// (whyNotReplaceable, app/file_checks.h) and that its hidden name (below)
// fits within the system's path length, then makes the file in the output
// path's folder, mode 0600: unnamed (O_TMPFILE), so that a run that ends
// before commit, however it ends (SIGKILL, a crash, power loss), leaves
// nothing behind and frees the space. Where the file system cannot make
// unnamed files, it is a new file `.<name>.XXXXXX` beside the output (<name>
// shortened when needed to keep within the file system's name length), with
// a unique suffix, never through a symbolic link (O_CREAT | O_EXCL |
// O_NOFOLLOW | O_CLOEXEC), registered to be removed should a signal end the
// run (app/signals.h). False, and nothing made, when either fails.
// fd() is where the output is written, from its start on, in order.
// reserve(size) allocates the file's blocks up to `size` bytes at once
// (fallocate), so a full disk or a file size limit shows before anything is
// decrypted: false then. Where the file system cannot reserve, it does
// nothing and returns true; the writes allocate as they go.
// commit(inputMode) cuts the file to the bytes written through fd() (a
// reservation for an input that then turned out shorter leaves nothing
// behind), checks that no write failed late (as on a network file system),
// gives an unnamed file a fresh unique name `.<name>.XXXXXX` and renames it
// over the output path, which replaces a file or a symbolic link there and
// never writes through it; signals wait meanwhile. (Refusing an existing
// output, it links the file at the output path instead, which fails if
// anything stands there, and removes a hidden name.) Only then does the file
// get the permission bits inputMode & 0666 less the umask (what a new copy of
// the input gets); until then it is 0600. True only when every step succeeded.
// When create, reserve or commit returns false, reason() says why: a short
// sentence, or strerror's text.
// An OutputFile that goes without a successful commit (a failure, an
// exception) removes its named file, if any; should that fail too, the file
// stays 0600. The output path stays as it was.
// Nothing is synced to disk: like cp, the rename orders nothing after a crash.
// create() reads the umask by setting it: call it with no other thread running.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace unseal {

enum class ExistingOutput { Replace, Refuse };

class OutputFile {
 public:
  OutputFile(std::string path, ExistingOutput existing);
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();

  bool create();
  int fd() const noexcept { return fd_; }
  bool reserve(std::uint64_t size) noexcept;
  bool commit(mode_t inputMode);
  const char* reason() const noexcept { return reason_; }

 private:
  bool createUnnamed();
  bool createNamed();
  bool name();
  bool place();
  bool fail(const char* reason) noexcept;
  bool failed() noexcept;
  void closeFile() noexcept;
  void discard() noexcept;

  std::string path_;
  std::string folder_;         // "" or ending in '/'
  std::string temporaryPath_;  // empty while the file has no name of its own
  int fd_ = -1;
  mode_t umask_ = 022;
  ExistingOutput existing_;
  const char* reason_ = nullptr;
};

}  // namespace unseal
