// The unseal command end to end: the built binary run on files made in a
// temporary folder. Each run's console, exit status and the files left behind
// (their bytes and permission bits, hidden temporary files included) are
// checked; decrypted bytes are compared with AES-256-CFB from OpenSSL.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "app/chunk_loop.h"
#include "app/descriptor_io.h"
#include "app/file_format.h"
#include "support/oracle.h"
#include "support/vectors.h"

extern char** environ;

namespace unseal {
namespace {

namespace fs = std::filesystem;
using test::randomBytes;

const std::string kKey = "unseal-demo-key-0123456789abcdef";
const std::string kBanner = "Quorvane utility, v. 0.539\n";
const std::string kUsage = "Usage: ./unseal <filename> <key>\n";
const std::string kBadLength = "Key length must be equal to 32 bytes\n";
const std::string kOpenError = "Error opening file:\n";
const std::string kOutputIsInput = "Output file would overwrite the input file!\n";
const std::string kDecrypting = "Decrypting file, please wait...\n";
const std::string kDone = kDecrypting + "File decrypted successfuly!\n";
const std::string kUnexpected = "Unexpected error, file not decrypted!\n";

// What decrypting `input` must give, computed with OpenSSL: the 54-byte
// header (zero-filled when short), then every 128-byte chunk of the body,
// zero-filled, decrypted from the IV; one chunk more when the body is a
// multiple of 128 bytes.
std::string expectedOutput(const std::string& input) {
  std::string out = input.substr(0, 54);
  out.resize(54, '\0');
  for (std::size_t at = 54; at <= input.size(); at += 128) {
    std::string chunk = input.substr(at, 128);
    chunk.resize(128, '\0');
    out += test::opensslCipher("aes-256-cfb", kKey, "5555555555555555", chunk, false);
  }
  return out;
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void writeFile(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

// One entry of a folder: a file's bytes and permission bits, the target of a
// symbolic link (links are not followed), "directory" or "fifo".
struct Node {
  std::string what;
  unsigned mode = 0;  // files only
  bool operator==(const Node&) const = default;
};
using Tree = std::map<std::string, Node>;

Tree snapshot(const fs::path& root) {
  Tree tree;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = entry.path().lexically_relative(root).string();
    if (entry.is_symlink()) {
      tree[name] = {"link to " + fs::read_symlink(entry.path()).string()};
    } else if (entry.is_regular_file()) {
      tree[name] = {readFile(entry.path()), static_cast<unsigned>(entry.status().permissions())};
    } else {
      tree[name] = {entry.is_directory() ? "directory" : "fifo"};
    }
  }
  return tree;
}

// The command's temporary files: ".<name>.XXXXXX".
bool isTemporaryFile(const fs::path& path) {
  static const std::regex pattern(R"(\..+\.[A-Za-z0-9]{6})");
  return std::regex_match(path.filename().string(), pattern);
}

void expectTree(const Tree& actual, const Tree& expected) {
  for (const auto& [name, node] : expected) {
    const auto found = actual.find(name);
    if (found == actual.end()) {
      ADD_FAILURE() << name << " is missing";
    } else if (found->second.what != node.what) {
      ADD_FAILURE() << name << " differs (" << found->second.what.size() << " bytes, expected "
                    << node.what.size() << ")";
    } else if (found->second.mode != node.mode) {
      ADD_FAILURE() << name << " has mode " << std::oct << found->second.mode << ", expected " << node.mode;
    }
  }
  for (const auto& entry : actual) {
    if (expected.count(entry.first) != 0) continue;
    ADD_FAILURE() << entry.first << " should not exist"
                  << (isTemporaryFile(entry.first) ? " (a temporary file left behind)" : "");
  }
}

// The file a run makes from `input`: its decryption, with the input's
// permission bits less the execute bits and the umask.
Node decrypted(const std::string& input, fs::perms inputPerms, mode_t umask) {
  return {expectedOutput(input), static_cast<unsigned>(inputPerms) & 0666 & ~umask};
}

struct Result {
  int status = -1;  // exit status, -1 when ended by a signal
  int signal = 0;   // the signal that ended it
  std::string out, err;
};

// What a run's standard input and output are.
enum class Console {
  Captured,    // standard output to a file the test reads
  Closed,      // standard input and output closed
  BrokenPipe,  // standard output a pipe whose reading end is closed
};

// The conditions a run starts in, beyond its arguments and files.
struct Conditions {
  rlim_t fileSize = RLIM_INFINITY;  // bytes a file may grow to
  int failAllocation = -1;          // >= 0: operator new fails from that call on
  Console console = Console::Captured;
  mode_t umask = 022;
  bool sigintIgnored = false;             // as under a shell that runs it in the background
  bool threadsRefused = false;            // no thread can be started, as at the process limit
  bool unnamedFilesRefused = false;       // O_TMPFILE fails, as on a file system without it
  std::optional<std::string> input = {};  // standard input's bytes (a file); otherwise the test's own
  int stdinFd = -1;                       // or this descriptor (a terminal)
  bool otherUser = false;                 // run as nobody in a folder like /tmp (the test runs as root)
  int raiseAfterNaming = 0;               // a signal the run sends itself once a file of it has a name
};

constexpr uid_t kNobody = 65534;

// Whether the tests may run the command as another user: as root, with the
// command where that user can reach it (a build under /root is not).
bool canSwitchUser() {
  static const bool can = [] {
    if (::geteuid() != 0) return false;
    const pid_t pid = ::fork();
    if (pid == 0) {
      const bool reached = ::setgroups(0, nullptr) == 0 && ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0 &&
                           ::access(UNSEAL_BINARY, X_OK) == 0;
      ::_exit(reached ? 0 : 1);
    }
    int status = 0;
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }();
  return can;
}

// A started run and where its console goes.
struct Child {
  pid_t pid;
  fs::path out, err;
};

// Calls `done` until it holds, for at most ten seconds.
bool waitUntil(const std::function<bool()>& done) {
  for (int i = 0; i < 2000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return done();
}

// A cross build's tests run under an emulator, which cannot follow an exec
// of the target's command: the command runs under it as well. Words are
// separated by spaces; the first is a full path.
std::vector<std::string> launcherWords() {
  std::vector<std::string> words;
#ifdef UNSEAL_LAUNCHER
  std::istringstream all(UNSEAL_LAUNCHER);
  for (std::string word; all >> word;) words.push_back(word);
#endif
  return words;
}

// Temporary folders: tree/ holds the files of a run, work/ inside it is the
// command's working folder; the console is captured beside tree/.
class Unseal : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string name = (fs::temp_directory_path() / "unseal-e2e-XXXXXX").string();
    ASSERT_NE(::mkdtemp(name.data()), nullptr);
    root_ = name;
    clearTree();
  }
  void TearDown() override { fs::remove_all(root_); }

  fs::path tree() const { return root_ / "tree"; }
  fs::path work() const { return tree() / "work"; }
  void clearTree() {
    fs::remove_all(tree());
    fs::create_directories(work());
  }

  // Starts the command in work/; `tag` tells the console files of runs at once apart.
  Child start(const std::vector<std::string>& args, const Conditions& conditions = {},
              const std::string& tag = "") const {
    const fs::path out = root_ / ("stdout" + tag), err = root_ / ("stderr" + tag);
    writeFile(out, "");
    if (conditions.input) writeFile(root_ / "stdin", *conditions.input);
    if (conditions.otherUser) {  // the work folder like /tmp (sticky, writable by all), reachable by all
      fs::permissions(root_, static_cast<fs::perms>(0711));
      fs::permissions(tree(), static_cast<fs::perms>(0711));
      fs::permissions(work(), static_cast<fs::perms>(01777));
    }
    std::vector<std::string> env;
    std::string asanOptions = "ASAN_OPTIONS=";
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::string_view(*e).starts_with(asanOptions)) {
        asanOptions = *e;
      } else {
        env.emplace_back(*e);
      }
    }
    if (conditions.failAllocation >= 0 || conditions.threadsRefused || conditions.unnamedFilesRefused ||
        conditions.raiseAfterNaming != 0) {
      env.push_back("LD_PRELOAD=" UNSEAL_FAILING_ALLOCATOR);
      asanOptions += ":verify_asan_link_order=0";  // sanitized builds: preloaded before the runtime
    }
    if (conditions.failAllocation >= 0) {
      env.push_back("UNSEAL_FAIL_ALLOCATION=" + std::to_string(conditions.failAllocation));
    }
    // A clang sanitizer build starts threads through its runtime's own
    // pthread_create, so there the run has its thread all the same.
    if (conditions.threadsRefused) env.push_back("UNSEAL_FAIL_THREADS=1");
    if (conditions.unnamedFilesRefused) env.push_back("UNSEAL_NO_UNNAMED_FILES=1");
    if (conditions.raiseAfterNaming != 0) {
      env.push_back("UNSEAL_RAISE_AFTER_NAMING=" + std::to_string(conditions.raiseAfterNaming));
    }
    env.push_back(asanOptions);
    std::vector<std::string> launcher = launcherWords();  // the emulator of a cross build
    std::vector<char*> argv, envp;
    for (auto& word : launcher) argv.push_back(word.data());
    argv.push_back(const_cast<char*>(UNSEAL_BINARY));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    for (auto& e : env) envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    int pipeEnds[2] = {-1, -1};
    if (conditions.console == Console::BrokenPipe) {
      EXPECT_EQ(::pipe(pipeEnds), 0);
      ::close(pipeEnds[0]);  // nobody will ever read
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
      const rlimit fileSize{conditions.fileSize, conditions.fileSize};
      if (::chdir(work().c_str()) != 0 || !std::freopen(out.c_str(), "w", stdout) ||
          !std::freopen(err.c_str(), "w", stderr) || ::setrlimit(RLIMIT_FSIZE, &fileSize) != 0) {
        ::_exit(126);
      }
      ::umask(conditions.umask);
      // Cores of a crash would be written to the work folder, where the tests see them.
      const rlimit core{RLIM_INFINITY, RLIM_INFINITY};
      ::setrlimit(RLIMIT_CORE, &core);
      if (conditions.input && !std::freopen((root_ / "stdin").c_str(), "r", stdin)) ::_exit(126);
      // A terminal's job is a process group of its own, which a stop signal stops.
      if (conditions.stdinFd >= 0 && (::dup2(conditions.stdinFd, 0) != 0 || ::setpgid(0, 0) != 0))
        ::_exit(126);
      if (conditions.otherUser &&
          (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) {
        ::_exit(126);
      }
      if (conditions.console == Console::Closed) {
        ::close(0);
        ::close(1);
      } else if (conditions.console == Console::BrokenPipe && ::dup2(pipeEnds[1], 1) != 1) {
        ::_exit(126);
      }
      // Default dispositions, as a shell gives them, so the command copes alone.
      for (int s = 1; s <= SIGRTMAX; ++s) ::signal(s, SIG_DFL);
      if (conditions.sigintIgnored) ::signal(SIGINT, SIG_IGN);
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      ::execve(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
    if (pipeEnds[1] >= 0) ::close(pipeEnds[1]);
    return {pid, out, err};
  }

  Result finish(const Child& child) const {
    int status = 0;
    EXPECT_EQ(::waitpid(child.pid, &status, 0), child.pid);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, WIFSIGNALED(status) ? WTERMSIG(status) : 0,
            readFile(child.out), readFile(child.err)};
  }

  Result run(const std::vector<std::string>& args, const Conditions& conditions = {}) const {
    const Result result = finish(start(args, conditions));
    EXPECT_EQ(result.signal, 0) << "ended by a signal";
    return result;
  }

  fs::path root_;
};

// A file system entry made in the work folder before a run.
struct Entry {
  enum Kind { File, Directory, Symlink, Hardlink } kind;
  std::string path;
  std::string data;     // a file's bytes, or the link's target
  fs::perms mode = {};  // a file's permission bits when not the default
};

Entry file(std::string path, std::string bytes) { return {Entry::File, std::move(path), std::move(bytes)}; }
Entry bytes(std::string path, std::size_t count, fs::perms mode = {}) {
  Entry e = file(std::move(path), randomBytes(count, static_cast<unsigned>(count)));
  e.mode = mode;
  return e;
}

struct Case {
  std::string name;
  std::vector<Entry> entries;
  std::vector<std::string> args;  // after the program name
  std::string console;            // expected after the banner
  std::string output;             // the decrypted file a run makes; "" for a refusal, "-" on standard output
  Conditions conditions = {};     // the console is checked only when Captured
  std::vector<std::string> options = {};  // before the operands; with "-o -" the console is in `errors`
  std::string errors = {};  // standard error; a refusal's one line of reason is checked when not given
};

std::vector<Case> cases() {
  const std::string header = randomBytes(54, 1), chunk = randomBytes(128, 2);
  const std::string in = "in.enc", out = "in.decrypted";
  const Entry input = bytes(in, 300);
  const std::string writeError = kDecrypting + "Error writing file!\n";
  const Entry previous = bytes(out, 5000);  // an earlier run's output
  const auto mode = [](unsigned bits) { return static_cast<fs::perms>(bits); };
  const Conditions asIs;  // for the rows that give options
  const std::string ignored =
      "unseal: warning: ignoring what follows the key (options go before <filename>):";
  const std::string longName(250, 'n');  // with ".decrypted", 5 bytes too long for a name
  std::string dots;  // "./" repeated: an output path within the system's limit, its hidden name 8 bytes over
  for (int i = 0; i < 2038; ++i) dots += "./";
  // clang-format off
  std::vector<Case> list = {
      {"no argument", {}, {}, kUsage, ""},
      {"one argument", {input}, {in}, kUsage, ""},
      {"key of 31 bytes", {input}, {in, kKey.substr(1)}, kBadLength, ""},
      {"key of 33 bytes", {input}, {in, kKey + "0"}, kBadLength, ""},
      {"key of 32 characters in 33 bytes", {input}, {in, "\xC3\xA9" + kKey.substr(1)}, kBadLength, ""},
      {"wrong key", {input}, {in, "unseal-demo-key-0123456789abcdeF"}, "Incorrect key!\n", ""},
      {"missing input", {}, {in, kKey}, kOpenError, ""},
      {"input is a directory", {{Entry::Directory, "dir.enc", ""}}, {"dir.enc", kKey}, kOpenError, ""},
      {"output cannot be created", {input, {Entry::Directory, out, ""}}, {in, kKey}, kOpenError, ""},
      {"input ending in .decrypted", {bytes(out, 300)}, {out, kKey}, kOutputIsInput, ""},
      {"output is a symbolic link to the input", {input, {Entry::Symlink, out, in}}, {in, kKey}, kOutputIsInput, ""},
      {"output is a hard link to the input", {input, {Entry::Hardlink, out, in}}, {in, kKey}, kOutputIsInput, ""},
      // Reading offset 0 of a process's own memory fails with EIO, even as root.
      {"input that cannot be read", {{Entry::Symlink, in, "/proc/self/mem"}}, {in, kKey}, "Error reading file!\n", ""},
      {"read error keeps the previous output", {{Entry::Symlink, in, "/proc/self/mem"}, previous}, {in, kKey}, "Error reading file!\n", ""},
      {"file size limit below the output's size", {bytes(in, 20000)}, {in, kKey}, writeError, "", {4096}},
      // /proc/self/maps reads as several KiB but has size 0: the reservation cannot see the limit.
      {"file size limit reached while decrypting", {{Entry::Symlink, in, "/proc/self/maps"}}, {in, kKey}, writeError, "", {1024}},
      {"file size limit reached by the last write", {bytes(in, 3000)}, {in, kKey}, writeError, "", {2048}},
      {"file size limit keeps the previous output", {bytes(in, 20000), previous}, {in, kKey}, writeError, "", {4096}},
      {"output exactly at the file size limit", {bytes(in, 3000)}, {in, kKey}, kDone, out, {decryptedSize(3000)}},
      {"standard output a closed pipe keeps the previous output", {input, previous}, {in, kKey}, "", "", {.console = Console::BrokenPipe}},
      {"standard input and output closed", {input}, {in, kKey}, "", out, {.console = Console::Closed}},
      {"arguments after the key are ignored", {input}, {in, kKey, "more", "arguments"}, kDone, out, asIs, {}, ignored + " 'more' 'arguments'\n"},
      {"key - read from standard input", {input}, {in, "-"}, kDone, out, {.input = kKey + "\n"}},
      {"key - read to the end of standard input", {input}, {in, "-"}, kDone, out, {.input = kKey}},
      {"key - read from the first line of standard input", {input}, {in, "-"}, kDone, out, {.input = kKey + "\nmore\n"}},
      {"key - of 33 bytes on standard input", {input}, {in, "-"}, kBadLength, "", {.input = kKey + "0\n"}},
      {"key - with standard input empty", {input}, {in, "-"}, kBadLength, "", {.input = ""}},
      {"key - with standard input closed", {input}, {in, "-"}, "", "", {.console = Console::Closed}},
      {"output name longer than the folder allows", {bytes(longName + ".e", 300)}, {longName + ".e", kKey}, kOpenError, ""},
      {"output name of 255 bytes", {bytes(longName.substr(5) + ".e", 300)}, {longName.substr(5) + ".e", kKey}, kDone, longName.substr(5) + ".decrypted"},
      {"run by another user", {input}, {in, kKey}, kDone, out, {.otherUser = true}},
      {"sticky folder: another user's output, writable by all, is not replaced", {input, bytes(out, 5000, mode(0666))}, {in, kKey}, kOpenError, "", {.otherUser = true}},
      {"existing output is replaced", {bytes(in, 100), previous}, {in, kKey}, kDone, out},
      {"symbolic link at the output is replaced, its target untouched", {input, file("../target", "kept"), {Entry::Symlink, out, "../target"}}, {in, kKey}, kDone, out},
      {"dangling symbolic link at the output is replaced", {input, {Entry::Symlink, out, "../planted"}}, {in, kKey}, kDone, out},
      {"input of mode 0600: nobody else may read the output", {bytes(in, 300, mode(0600))}, {in, kKey}, kDone, out},
      {"input of mode 0755 under umask 027: output 0640", {bytes(in, 300, mode(0755))}, {in, kKey}, kDone, out, {.umask = 027}},
      {"two equal chunks", {file(in, header + chunk + chunk)}, {in, kKey}, kDone, out},
      {"no thread can be started: decrypted on one", {bytes(in, 54 + 3 * kChunkLoopBufferSize + 55)}, {in, kKey}, kDone, out, {.threadsRefused = true}},
      {"no thread can be started: a failed write is reported", {{Entry::Symlink, in, "/proc/self/maps"}}, {in, kKey}, writeError, "", {.fileSize = 1024, .threadsRefused = true}},
      {"hidden name longer than the system allows", {input}, {dots + in, kKey}, kOpenError, ""},
      {"-o names the output", {input}, {in, kKey}, kDone, "out.bmp", asIs, {"-o", "out.bmp"}},
      {"--output naming the input", {input}, {in, kKey}, kOutputIsInput, "", asIs, {"--output=" + in}, "unseal: in.enc: the output would overwrite the input\n"},
      {"-o naming a folder", {input, {Entry::Directory, "sub", ""}}, {in, kKey}, kOpenError, "", asIs, {"-o", "sub"}, "unseal: sub: Is a directory\n"},
      {"-o naming a device, through a link", {input, {Entry::Symlink, "null", "/dev/null"}}, {in, kKey}, kOpenError, "", asIs, {"-o", "null"}, "unseal: null: not a regular file\n"},
      {"-o -: the plaintext alone on standard output", {input}, {in, kKey}, "", "-", asIs, {"-o", "-"}, kBanner + kDone},
      {"-o - into a closed pipe", {input}, {in, kKey}, "", "", {.console = Console::BrokenPipe}, {"-o", "-"}, kBanner + writeError + "unseal: standard output: Broken pipe\n"},
      {"-n keeps an existing output", {input, previous}, {in, kKey}, kOpenError, "", asIs, {"-n"}, "unseal: in.decrypted: the output exists\n"},
      {"--no-clobber with no output there", {input}, {in, kKey}, kDone, out, asIs, {"--no-clobber"}},
      {"-- ends the options: a file named -o.enc", {bytes("-o.enc", 300)}, {"-o.enc", kKey}, kDone, "-o.decrypted", asIs, {"--"}},
      {"an unknown option", {input}, {in, kKey}, kUsage, "", asIs, {"--bogus"}, "unseal: unrecognized option '--bogus'\n"},
      {"-o without its argument", {}, {}, kUsage, "", asIs, {"-o"}, "unseal: option requires an argument -- 'o'\n"},
      {"-o after the operands is ignored", {input}, {in, kKey, "-o", "out.bmp"}, kDone, out, asIs, {}, ignored + " '-o' 'out.bmp'\n"},
      {"file size limit reached by the writer thread: why", {{Entry::Symlink, in, "/proc/self/maps"}}, {in, kKey}, writeError, "", Conditions{1024}, {}, "unseal: in.decrypted: File too large\n"},
      {"missing input: why", {}, {in, kKey}, kOpenError, "", asIs, {}, "unseal: in.enc: No such file or directory\n"},
      {"input this user may not read: why", {bytes(in, 300, mode(0200))}, {in, kKey}, kOpenError, "", Conditions{.otherUser = true}, {}, "unseal: in.enc: Permission denied\n"},
      {"read-only folder: why", {bytes("ro/in.enc", 300), {Entry::Directory, "ro", "", mode(0555)}}, {"ro/in.enc", kKey}, kOpenError, "", Conditions{.otherUser = true}, {}, "unseal: ro/in.decrypted: Permission denied\n"},
      // Inputs longer and shorter than their size at the start: /proc files have size 0, /sys files 4096.
      {"input longer than its size", {{Entry::Symlink, in, "/proc/version"}}, {in, kKey}, kDone, out},
      {"input shorter than its size", {{Entry::Symlink, in, "/sys/devices/system/cpu/online"}}, {in, kKey}, kDone, out},
      {"archive.tar.gz", {bytes("archive.tar.gz", 300)}, {"archive.tar.gz", kKey}, kDone, "archive.tar.decrypted"},
      {"no dot", {bytes("image", 300)}, {"image", kKey}, kDone, "image.decrypted"},
      {"dot at the end", {bytes("image.", 300)}, {"image.", kKey}, kDone, "image.decrypted"},
      {"dot in a directory name only", {bytes("data.old/image", 300)}, {"data.old/image", kKey}, kDone, "data.decrypted"},
      {"./image", {bytes("image", 300)}, {"./image", kKey}, kDone, ".decrypted"},
      {"../image", {bytes("../image", 300)}, {"../image", kKey}, kDone, "..decrypted"},
  };
  // clang-format on
  // Short inputs, a header alone, bodies around and at chunk boundaries, and
  // a body of more than two of the chunk loop's buffers.
  for (const std::size_t size :
       std::vector<std::size_t>{0, 1, 20, 53, 54, 55, 54 + 127, 54 + 128, 54 + 129, 54 + 256, 54 + 300,
                                54 + 2 * kChunkLoopBufferSize + 55}) {
    list.push_back(
        {"input of " + std::to_string(size) + " bytes", {bytes(in, size)}, {in, kKey}, kDone, out});
  }
  return list;
}

void make(const fs::path& work, const Entry& e) {
  const fs::path path = work / e.path;
  switch (e.kind) {
    case Entry::File:
      writeFile(path, e.data);
      if (e.mode != fs::perms{}) fs::permissions(path, e.mode);
      break;
    case Entry::Directory:
      fs::create_directories(path);
      if (e.mode != fs::perms{}) fs::permissions(path, e.mode);
      break;
    case Entry::Symlink: fs::create_symlink(e.data, path); break;
    case Entry::Hardlink: fs::create_hard_link(work / e.data, path); break;
  }
}

// Every run: the banner and one expected message set, and on standard error
// one line saying why for a refusal, nothing for a decryption (but where
// given); a refusal leaves every file exactly as it was (no output, input
// intact, a previous output kept, no temporary file left), a decryption adds
// or replaces only the output, whose bytes match OpenSSL and whose mode is
// the input's less the execute bits and the umask.
TEST_F(Unseal, ConsoleStatusAndFiles) {
  for (const bool unnamedFilesRefused : {false, true}) {
    for (Case c : cases()) {
      SCOPED_TRACE(c.name + (unnamedFilesRefused ? ", no unnamed files" : ""));
      if (c.conditions.otherUser && !canSwitchUser()) {
        std::printf("case \"%s\" skipped: not root, or the command is out of another user's reach\n",
                    c.name.c_str());
        continue;
      }
      c.conditions.unnamedFilesRefused = unnamedFilesRefused;
      clearTree();
      for (const Entry& e : c.entries) make(work(), e);
      Tree expected = snapshot(tree());
      std::vector<std::string> args = c.options;
      args.insert(args.end(), c.args.begin(), c.args.end());
      const Result result = run(args, c.conditions);
      if (c.output == "-") {
        EXPECT_EQ(result.out, expectedOutput(readFile(work() / c.args[0])));
      } else if (std::find(c.options.begin(), c.options.end(), "-") == c.options.end()) {
        EXPECT_EQ(result.out, c.conditions.console == Console::Captured ? kBanner + c.console : "");
      }
      if (!c.errors.empty() || !c.output.empty()) {
        EXPECT_EQ(result.err, c.errors);
      } else {
        EXPECT_TRUE(std::regex_match(result.err, std::regex("unseal: [^\n]+\n"))) << result.err;
      }
      EXPECT_EQ(result.status, c.output.empty() ? 1 : 0);
      if (!c.output.empty() && c.output != "-") {
        const fs::path input = work() / c.args[0];
        const std::string output = (fs::path("work") / c.output).lexically_normal().string();
        expected[output] = decrypted(readFile(input), fs::status(input).permissions(), c.conditions.umask);
      }
      expectTree(snapshot(tree()), expected);
    }
  }
}

// Every signal whose default action ends a process, SIGKILL included, but
// SIGPIPE and SIGXFSZ, which the command ignores (see the cases above), and
// the two below SIGRTMIN that the C library keeps for itself.
std::vector<int> terminatingSignals() {
  // Ignored by default, stopping, ignored by the command.
  const std::vector<int> others = {SIGCHLD, SIGCONT, SIGURG,  SIGWINCH, SIGSTOP,
                                   SIGTSTP, SIGTTIN, SIGTTOU, SIGPIPE,  SIGXFSZ};
  std::vector<int> list;
  for (int s = 1; s <= SIGRTMAX; ++s) {
    if (std::find(others.begin(), others.end(), s) == others.end() && (s <= SIGSYS || s >= SIGRTMIN)) {
      list.push_back(s);
    }
  }
  return list;
}

// The permission bits of each file the process has open that has no name
// (the output while it is written unnamed).
std::vector<unsigned> unnamedOpenFiles(pid_t pid) {
  std::vector<unsigned> modes;
  for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    struct stat info {};
    if (::stat(fd.path().c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_nlink == 0) {
      modes.push_back(info.st_mode & 07777);
    }
  }
  return modes;
}

// A run held in the middle: its input is a FIFO that has delivered the
// header and 500 bytes of body, and it has printed that it is decrypting.
// finishInput delivers the rest and the end of the input.
class UnsealHeld : public Unseal {
 protected:
  bool hold(const Conditions& conditions, unsigned seed) {
    closeInput();
    const fs::path fifoPath = work() / "in.enc";
    EXPECT_EQ(::mkfifo(fifoPath.c_str(), 0644), 0);
    before_ = snapshot(tree());
    input_ = randomBytes(54 + 1000, seed);
    child_ = start({"in.enc", kKey}, conditions);
    // The FIFO opens once the command has opened its end.
    const auto open = [&] {
      return (fifo_ = ::open(fifoPath.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) >= 0;
    };
    return waitUntil(open) && writeAll(fifo_, input_.data(), 54 + 500) &&
           waitUntil([&] { return readFile(child_.out).starts_with(kBanner + kDecrypting); });
  }
  void finishInput() {
    EXPECT_TRUE(writeAll(fifo_, input_.data() + 54 + 500, input_.size() - 54 - 500));
    closeInput();
  }
  void closeInput() {
    if (fifo_ >= 0) ::close(std::exchange(fifo_, -1));
  }
  ~UnsealHeld() override { closeInput(); }

  Tree before_;  // the tree as the run found it, its input included
  Child child_;
  std::string input_;
  int fifo_ = -1;
};

// Runs ended by each terminating signal while they decrypt, their output
// unnamed or (where unnamed files are refused) a hidden named file: the
// folder holds exactly what it held before (no file of the run, no core file,
// which the core size limit allows), and the process ends by that signal.
// While the run lasts, the key is not in its command line, and its output is
// 0600: unnamed, it adds nothing to the folder.
// An emulator (a cross build's tests) shows its own command line and open
// files, reports core-dumping signals on standard error, may die of a fault
// signal sent to it and cannot deliver the highest real-time signals: there
// only the folder is checked, and those signals are skipped.
TEST_F(UnsealHeld, EveryTerminatingSignalLeavesTheFolderAsItWas) {
  const bool emulated = !launcherWords().empty();
  for (const bool unnamedFilesRefused : {false, true}) {
    for (const int signal : terminatingSignals()) {
      if (signal == SIGKILL && unnamedFilesRefused) continue;  // SIGKILL leaves the named file
      SCOPED_TRACE(std::string(::strsignal(signal)) + (unnamedFilesRefused ? ", named output" : ""));
      clearTree();
      ASSERT_TRUE(hold({.unnamedFilesRefused = unnamedFilesRefused}, static_cast<unsigned>(signal)))
          << "the run did not start decrypting";
      if (!emulated) {
        const std::string commandLine = readFile("/proc/" + std::to_string(child_.pid) + "/cmdline");
        EXPECT_NE(commandLine.find("in.enc"), std::string::npos);
        EXPECT_EQ(commandLine.find(kKey), std::string::npos) << "the key is in the process list";
      }
      Tree during = snapshot(tree());
      const auto named =
          std::find_if(during.begin(), during.end(), [](const auto& e) { return isTemporaryFile(e.first); });
      if (unnamedFilesRefused) {
        ASSERT_NE(named, during.end()) << "no named output while decrypting";
        EXPECT_EQ(named->second.mode, 0600u);
        during.erase(named);
      } else if (canSwitchUser() && !emulated) {  // only root reads /proc of an undumpable process
        EXPECT_EQ(unnamedOpenFiles(child_.pid), std::vector<unsigned>{0600});
      }
      expectTree(during, before_);
      const bool fault =
          signal == SIGILL || signal == SIGTRAP || signal == SIGBUS || signal == SIGFPE || signal == SIGSEGV;
      if (emulated && (fault || ::kill(child_.pid, signal) != 0)) {
        ::kill(child_.pid, SIGKILL);
        finish(child_);
        continue;
      }
      ASSERT_TRUE(emulated || ::kill(child_.pid, signal) == 0);
      const Result result = finish(child_);
      EXPECT_TRUE(emulated || (result.signal == signal && result.err.empty()))
          << "ended by " << result.signal;
      expectTree(snapshot(tree()), before_);
    }
  }
}

// Every signal but SIGKILL, sent the moment the output gets a name (right
// after linkat, or mkostemp where unnamed files are refused): it waits until
// the name is registered for removal or the file is in place, so no hidden
// file is left.
TEST_F(Unseal, SignalsWhileNamingLeaveNoHiddenFile) {
  if (!launcherWords().empty()) GTEST_SKIP() << "an emulator may die of a fault signal sent to it";
  writeFile(work() / "in.enc", randomBytes(300, 4));
  for (const bool unnamedFilesRefused : {false, true}) {
    for (const int signal : terminatingSignals()) {
      if (signal == SIGKILL) continue;
      SCOPED_TRACE(std::string(::strsignal(signal)) + (unnamedFilesRefused ? ", named output" : ""));
      const Result result = finish(
          start({"in.enc", kKey}, {.unnamedFilesRefused = unnamedFilesRefused, .raiseAfterNaming = signal}));
      EXPECT_EQ(result.signal, signal);
      for (const auto& entry : snapshot(tree())) EXPECT_FALSE(isTemporaryFile(entry.first)) << entry.first;
    }
  }
}

// A SIGINT ignored when the run starts (a background job of a script) stays
// ignored: the run completes once the rest of its input arrives. The process
// is undumpable: its /proc files belong to root, though it runs as another
// user (as root, the test runs it as nobody), whose other processes cannot
// read its memory then.
TEST_F(UnsealHeld, SignalIgnoredAtStartStaysIgnored) {
  ASSERT_TRUE(hold({.sigintIgnored = true, .otherUser = canSwitchUser()}, 1));
  struct stat status {};
  ASSERT_EQ(::stat(("/proc/" + std::to_string(child_.pid) + "/status").c_str(), &status), 0);
  EXPECT_EQ(status.st_uid, 0u) << "the process is dumpable";
  const std::string limits = readFile("/proc/" + std::to_string(child_.pid) + "/limits");
  EXPECT_TRUE(std::regex_search(limits, std::regex("Max core file size +0 +0 ")))
      << "a core file may be written";
  ASSERT_EQ(::kill(child_.pid, SIGINT), 0);
  finishInput();
  const Result result = finish(child_);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, kBanner + kDone);
  before_["work/in.decrypted"] = decrypted(input_, fs::status(work() / "in.enc").permissions(), 022);
  expectTree(snapshot(tree()), before_);
}

// The folder turns append-only while a run decrypts: the output's name
// cannot be put in place nor removed. The run fails, and the named file it
// leaves, holding the plaintext, is 0600, never the input's mode.
TEST_F(UnsealHeld, ANameThatCannotBeRemovedStaysPrivate) {
  ASSERT_TRUE(hold({}, 2));
  fs::permissions(work() / "in.enc", static_cast<fs::perms>(0644));
  const Descriptor folder(::open(work().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  int flags = 0;
  if (::ioctl(folder.get(), FS_IOC_GETFLAGS, &flags) != 0 ||
      ::ioctl(folder.get(), FS_IOC_SETFLAGS, &(flags |= FS_APPEND_FL)) != 0) {
    ::kill(child_.pid, SIGKILL);
    finish(child_);
    GTEST_SKIP() << "this file system or user cannot make a folder append-only";
  }
  finishInput();
  const Result result = finish(child_);
  flags &= ~FS_APPEND_FL;
  ASSERT_EQ(::ioctl(folder.get(), FS_IOC_SETFLAGS, &flags), 0);
  EXPECT_EQ(result.out, kBanner + kDecrypting + "Error writing file!\n");
  EXPECT_EQ(result.status, 1);
  std::vector<unsigned> leftModes;
  for (const auto& [name, node] : snapshot(tree())) {
    if (isTemporaryFile(name)) leftModes.push_back(node.mode);
  }
  EXPECT_EQ(leftModes, std::vector<unsigned>{0600});
  EXPECT_FALSE(fs::exists(work() / "in.decrypted"));
}

// Bytes a process has read so far; nullopt where its /proc files are closed
// to the test (as another user than root).
std::optional<long> bytesReadBy(pid_t pid) {
  std::ifstream io("/proc/" + std::to_string(pid) + "/io");
  std::string field;
  for (long value = 0; io >> field >> value;) {
    if (field == "rchar:") return value;
  }
  return std::nullopt;
}

// The key typed at a terminal ("-"): echo is off while the command waits
// for it, and back on however the run ends: a decryption, a refusal, a
// signal, a read that fails. The terminal's erase (DEL) and kill (^U)
// characters edit the line. A stop and continue keeps what was typed before
// it, and echo is off again after it, though the shell turned it on: by
// Ctrl-Z (SIGTSTP, what is typed and not yet read discarded), which puts
// echo back on meanwhile, or by SIGSTOP, which cannot.
TEST_F(Unseal, KeyTypedAtATerminalIsNotEchoed) {
  const Descriptor master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  ASSERT_TRUE(master.valid() && ::grantpt(master.get()) == 0 && ::unlockpt(master.get()) == 0);
  const Descriptor terminal(::open(::ptsname(master.get()), O_RDWR | O_NOCTTY | O_CLOEXEC));
  termios settings{};
  const auto echoing = [&] {
    return ::tcgetattr(terminal.get(), &settings) == 0 && (settings.c_lflag & ECHO) != 0;
  };
  ASSERT_TRUE(echoing());
  writeFile(work() / "in.enc", randomBytes(300, 3));
  // What is typed, then the end of the line; nothing: SIGTERM instead; "|": Ctrl-Z there, "#": SIGSTOP.
  const std::string tstp = kKey.substr(0, 10) + "|" + kKey.substr(10),
                    stop = kKey.substr(0, 5) + "#" + kKey.substr(5);
  for (const auto& [typed, console] : {std::pair{kKey, kDone},
                                       {kKey.substr(1), kBadLength},
                                       {"", ""},
                                       {"x\x7f" + kKey, kDone},
                                       {"xy\x15" + kKey, kDone},
                                       {tstp, kDone},
                                       {stop, kDone}}) {
    SCOPED_TRACE("typed: " + typed);
    fs::remove(work() / "in.decrypted");
    const Child child = start({"in.enc", "-"}, {.stdinFd = terminal.get()});
    ASSERT_TRUE(waitUntil([&] { return !echoing(); })) << "echo stays on";
    std::string line = typed + "\n";
    if (const std::size_t at = typed.find_first_of("|#"); at != std::string::npos) {
      const int signal = typed[at] == '|' ? SIGTSTP : SIGSTOP;
      const std::optional<long> before = bytesReadBy(child.pid);
      ASSERT_TRUE(before && writeAll(master.get(), typed.data(), at));
      ASSERT_TRUE(waitUntil([&] { return bytesReadBy(child.pid) >= *before + long(at); })) << "not read";
      int status = 0;
      ASSERT_TRUE(::tcflush(terminal.get(), TCIFLUSH) == 0 && ::kill(child.pid, signal) == 0 &&
                  ::waitpid(child.pid, &status, WUNTRACED) == child.pid && WIFSTOPPED(status));
      EXPECT_TRUE(signal == SIGSTOP || echoing()) << "echo off while stopped";
      settings.c_lflag |= ECHO;  // as the shell leaves it
      ASSERT_TRUE(::tcsetattr(terminal.get(), TCSANOW, &settings) == 0 && ::kill(child.pid, SIGCONT) == 0);
      EXPECT_TRUE(waitUntil([&] { return !echoing(); })) << "echo on once continued";
      line.erase(0, at + 1);
    }
    ASSERT_TRUE(typed.empty() ? ::kill(child.pid, SIGTERM) == 0
                              : writeAll(master.get(), line.data(), line.size()));
    const Result result = finish(child);
    EXPECT_EQ(result.signal, typed.empty() ? SIGTERM : 0);
    EXPECT_TRUE(typed.empty() || result.out == kBanner + console) << result.out;
    EXPECT_TRUE(echoing()) << "echo not restored";
  }
  // A read that fails: the terminal non-blocking, with nothing typed.
  ASSERT_EQ(::fcntl(terminal.get(), F_SETFL, O_NONBLOCK), 0);
  EXPECT_EQ(finish(start({"in.enc", "-"}, {.stdinFd = terminal.get()})).out, kBanner + kBadLength);
  EXPECT_TRUE(echoing()) << "echo not restored after a failed read";
}

// --help and --version: the banner, and for --help the usage with every
// option, on standard output; status 0, nothing else.
TEST_F(Unseal, HelpAndVersion) {
  for (const std::string option : {"--help", "--version"}) {
    const Result result = run({option});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(result.out.starts_with(kBanner)) << result.out;
    for (const char* name : {"-o, --output=FILE", "-n, --no-clobber", "--help", "--version"}) {
      EXPECT_EQ(result.out.find(name) != std::string::npos, option == "--help") << name;
    }
  }
}

// Two runs at once whose inputs map to one output name: the output is one
// run's whole output, never a mixture of both, and no temporary file is left.
TEST_F(Unseal, RunsAtOnceOnOneOutputName) {
  const std::string first = randomBytes(54 + 3'000'000, 7), second = randomBytes(54 + 3'000'000, 8);
  writeFile(work() / "same.a", first);
  writeFile(work() / "same.b", second);
  const Tree before = snapshot(tree());
  const fs::perms mode = fs::status(work() / "same.a").permissions();
  const Node fromFirst = decrypted(first, mode, 022), fromSecond = decrypted(second, mode, 022);
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const Child a = start({"same.a", kKey}, {}, "a"), b = start({"same.b", kKey}, {}, "b");
    for (const Result& result : {finish(a), finish(b)}) {
      EXPECT_EQ(result.status, 0);
      EXPECT_EQ(result.out, kBanner + kDone);
    }
    const Tree after = snapshot(tree());
    const auto output = after.find("work/same.decrypted");
    ASSERT_NE(output, after.end());
    EXPECT_TRUE(output->second == fromFirst || output->second == fromSecond) << "a mixture of both runs";
    Tree expected = before;
    expected[output->first] = output->second;
    expectTree(after, expected);
  }
}

// Runs on exhausted memory, made to happen at every allocation in turn: each
// ends with one line and status 1 and leaves no file behind, until the run
// allocates nothing that fails and completes.
// clang links its sanitizer runtime into the executable, and the runtime's
// operator new then takes precedence over a preloaded one.
#if defined(__clang__) && defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UNSEAL_OPERATOR_NEW_FIXED 1
#endif
#endif

TEST_F(Unseal, ExhaustedMemoryEndsWithOneLineAndNoOutput) {
#ifdef UNSEAL_OPERATOR_NEW_FIXED
  GTEST_SKIP() << "operator new cannot be replaced by preloading in a clang sanitizer build";
#endif
  // A body of three buffers allocates no more than one of 300 bytes: nothing
  // is allocated per chunk or per buffer.
  std::vector<int> allocations;
  for (const std::size_t body : {std::size_t{300}, 3 * kChunkLoopBufferSize + 55}) {
    SCOPED_TRACE("body of " + std::to_string(body) + " bytes");
    clearTree();
    writeFile(work() / "in.enc", randomBytes(54 + body, 3));
    const Tree before = snapshot(tree());
    int failuresWhileDecrypting = 0;
    for (int failAt = 0;; ++failAt) {
      ASSERT_LT(failAt, 1000) << "the run never completed";
      SCOPED_TRACE("allocation " + std::to_string(failAt));
      const Result result = run({"in.enc", kKey}, {RLIM_INFINITY, failAt});
      EXPECT_EQ(result.err, result.status == 0 ? "" : "unseal: in.enc: Cannot allocate memory\n");
      if (result.status == 0) {
        EXPECT_EQ(result.out, kBanner + kDone);
        allocations.push_back(failAt);
        break;
      }
      EXPECT_EQ(result.status, 1);
      if (result.out == kBanner + kDecrypting + kUnexpected) {
        ++failuresWhileDecrypting;
      } else {
        EXPECT_EQ(result.out, kBanner + kUnexpected);
      }
      expectTree(snapshot(tree()), before);
      if (HasFailure()) return;
    }
    EXPECT_GE(failuresWhileDecrypting, 1) << "the writer thread's start allocates";
  }
  EXPECT_EQ(allocations[0], allocations[1]) << "allocations grow with the file";
}

}  // namespace
}  // namespace unseal
