// The command line: unseal [OPTION]... <filename> <key> [ignored...]
//
// readCommandLine(argc, argv) reads the options with getopt_long, stopping at
// the first operand or after "--", so the options come first and a file
// whose name starts with '-' follows "--". Options: -o FILE, --output=FILE
// (the output path instead of the derived one; "-": standard output);
// -n, --no-clobber (an existing output is refused); --help; --version.
// `valid` is false when an option is unknown or lacks its argument;
// reportOptionErrors(argc, argv) then reads the options again and has
// getopt say what is wrong on standard error, naming the command "unseal"
// however it was started (argv[0] is set so). Neither allocates. The
// operands stay where they are in argv: `key` is writable, so it can be
// wiped there. printHelp(out) writes the usage with every option.
#pragma once

#include <cstdio>
#include <span>

namespace unseal {

struct CommandLine {
  bool valid = true;
  bool help = false;
  bool version = false;
  bool noClobber = false;
  const char* output = nullptr;    // -o FILE; null: the derived path
  const char* input = nullptr;     // the first operand; null when there is none
  char* key = nullptr;             // the second operand; null when there is none
  std::span<char* const> ignored;  // the operands after the key

  bool toStandardOutput() const noexcept;
};

CommandLine readCommandLine(int argc, char** argv) noexcept;
void reportOptionErrors(int argc, char** argv) noexcept;
void printHelp(std::FILE* out) noexcept;

}  // namespace unseal
