#include "app/command_line.h"

#include <getopt.h>

#include <cstring>

namespace unseal {
namespace {

enum LongOnly { kHelp = 256, kVersion };

constexpr option kOptions[] = {
    {"output", required_argument, nullptr, 'o'},
    {"no-clobber", no_argument, nullptr, 'n'},
    {"help", no_argument, nullptr, kHelp},
    {"version", no_argument, nullptr, kVersion},
    {nullptr, 0, nullptr, 0},
};

// "+": no reordering; the first operand ends the options, as POSIX has it.
constexpr const char* kShortOptions = "+o:n";

constexpr const char* kHelpText =
    "Usage: unseal [OPTION]... <filename> <key>\n"
    "Decrypt <filename> with the 32-byte <key> (\"-\": the first line of standard\n"
    "input, typed without echo at a terminal) into <filename> up to its last \".\",\n"
    "followed by \".decrypted\".\n"
    "\n"
    "  -o, --output=FILE   write FILE instead; \"-\": standard output, with the\n"
    "                      messages on standard error\n"
    "  -n, --no-clobber    refuse an output that exists already\n"
    "      --help          show this help and exit\n"
    "      --version       show the version and exit\n"
    "\n"
    "Options come before <filename>; \"--\" ends them. Exit status: 0 when the\n"
    "file is decrypted, 1 otherwise. See unseal(1).\n";

}  // namespace

bool CommandLine::toStandardOutput() const noexcept {
  return output != nullptr && std::strcmp(output, "-") == 0;
}

CommandLine readCommandLine(int argc, char** argv) noexcept {
  CommandLine line;
  if (argc < 1) return line;
  ::opterr = 0;
  for (int c = 0; (c = ::getopt_long(argc, argv, kShortOptions, kOptions, nullptr)) != -1;) {
    switch (c) {
      case 'o': line.output = ::optarg; break;
      case 'n': line.noClobber = true; break;
      case kHelp: line.help = true; break;
      case kVersion: line.version = true; break;
      default: line.valid = false;  // reportOptionErrors says why
    }
  }
  const std::span<char* const> operands(argv + ::optind, static_cast<std::size_t>(argc - ::optind));
  if (!operands.empty()) line.input = operands[0];
  if (operands.size() >= 2) line.key = operands[1];
  if (operands.size() > 2) line.ignored = operands.subspan(2);
  return line;
}

void reportOptionErrors(int argc, char** argv) noexcept {
  argv[0] = const_cast<char*>("unseal");  // the name getopt's messages start with
  ::opterr = 1;
  ::optind = 0;  // starts getopt afresh
  while (::getopt_long(argc, argv, kShortOptions, kOptions, nullptr) != -1) {
  }
}

void printHelp(std::FILE* out) noexcept { std::fputs(kHelpText, out); }

}  // namespace unseal
