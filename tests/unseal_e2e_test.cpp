// The unseal command end to end: the built binary run on files made in a
// temporary folder. Each run's console, exit status and the files left behind
// are checked; decrypted bytes are compared with AES-256-CFB from OpenSSL.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "app/chunk_loop.h"
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

// A folder's contents by relative path: file bytes, "directory" or the target
// of a symbolic link (links are not followed).
using Tree = std::map<std::string, std::string>;

Tree snapshot(const fs::path& root) {
  Tree tree;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = entry.path().lexically_relative(root).string();
    if (entry.is_symlink()) {
      tree[name] = "link to " + fs::read_symlink(entry.path()).string();
    } else {
      tree[name] = entry.is_directory() ? "directory" : readFile(entry.path());
    }
  }
  return tree;
}

void expectTree(const Tree& actual, const Tree& expected) {
  for (const auto& [name, bytes] : expected) {
    const auto found = actual.find(name);
    if (found == actual.end()) {
      ADD_FAILURE() << name << " is missing";
    } else if (found->second != bytes) {
      ADD_FAILURE() << name << " differs (" << found->second.size() << " bytes, expected " << bytes.size()
                    << ")";
    }
  }
  for (const auto& entry : actual) {
    if (expected.count(entry.first) == 0) ADD_FAILURE() << entry.first << " should not exist";
  }
}

struct Result {
  int status = -1;
  std::string out, err;
};

struct Limits {
  rlim_t fileSize = RLIM_INFINITY;  // bytes a file may grow to, SIGXFSZ ignored
  int failAllocation = -1;          // >= 0: operator new fails from that call on
};

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

  Result run(const std::vector<std::string>& args, const Limits& limits = {}) const {
    const fs::path out = root_ / "stdout", err = root_ / "stderr";
    std::vector<std::string> env;
    std::string asanOptions = "ASAN_OPTIONS=";
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::string_view(*e).starts_with(asanOptions)) {
        asanOptions = *e;
      } else {
        env.emplace_back(*e);
      }
    }
    if (limits.failAllocation >= 0) {
      env.push_back("LD_PRELOAD=" UNSEAL_FAILING_ALLOCATOR);
      env.push_back("UNSEAL_FAIL_ALLOCATION=" + std::to_string(limits.failAllocation));
      asanOptions += ":verify_asan_link_order=0";  // sanitized builds: preloaded before the runtime
    }
    env.push_back(asanOptions);
    std::vector<char*> argv{const_cast<char*>(UNSEAL_BINARY)}, envp;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    for (auto& e : env) envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
      const rlimit fileSize{limits.fileSize, limits.fileSize};
      if (::chdir(work().c_str()) != 0 || !std::freopen(out.c_str(), "w", stdout) ||
          !std::freopen(err.c_str(), "w", stderr) || ::setrlimit(RLIMIT_FSIZE, &fileSize) != 0) {
        ::_exit(126);
      }
      ::signal(SIGXFSZ, SIG_IGN);
      ::execve(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(out), readFile(err)};
  }

  fs::path root_;
};

// A file system entry made in the work folder before a run.
struct Entry {
  enum Kind { File, Directory, Symlink, Hardlink } kind;
  std::string path;
  std::string data;  // a file's bytes, or the link's target
};

Entry file(std::string path, std::string bytes) { return {Entry::File, std::move(path), std::move(bytes)}; }
Entry bytes(std::string path, std::size_t count) {
  return file(std::move(path), randomBytes(count, static_cast<unsigned>(count)));
}

struct Case {
  std::string name;
  std::vector<Entry> entries;
  std::vector<std::string> args;  // after the program name
  std::string console;            // expected after the banner
  std::string output;             // the decrypted file a run makes; "" for a refusal
  rlim_t fileSize = RLIM_INFINITY;
};

std::vector<Case> cases() {
  const std::string header = randomBytes(54, 1), chunk = randomBytes(128, 2);
  const std::string in = "in.enc", out = "in.decrypted";
  const Entry input = bytes(in, 300);
  const std::string writeError = kDecrypting + "Error writing file!\n";
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
      {"file size limit reached while decrypting", {bytes(in, 20000)}, {in, kKey}, writeError, "", 4096},
      {"file size limit reached when closing", {bytes(in, 3000)}, {in, kKey}, writeError, "", 2048},
      {"arguments after the key are ignored", {input}, {in, kKey, "more", "arguments"}, kDone, out},
      {"existing output is truncated", {bytes(in, 100), bytes(out, 5000)}, {in, kKey}, kDone, out},
      {"two equal chunks", {file(in, header + chunk + chunk)}, {in, kKey}, kDone, out},
      {"archive.tar.gz", {bytes("archive.tar.gz", 300)}, {"archive.tar.gz", kKey}, kDone, "archive.tar.decrypted"},
      {"no dot", {bytes("image", 300)}, {"image", kKey}, kDone, "image.decrypted"},
      {"dot at the end", {bytes("image.", 300)}, {"image.", kKey}, kDone, "image.decrypted"},
      {"dot in a directory name only", {bytes("data.old/image", 300)}, {"data.old/image", kKey}, kDone, "data.decrypted"},
      {"./image", {bytes("image", 300)}, {"./image", kKey}, kDone, ".decrypted"},
      {"../image", {bytes("../image", 300)}, {"../image", kKey}, kDone, "..decrypted"},
  };
  // clang-format on
  // Short inputs, a header alone, and bodies around and at chunk boundaries.
  for (const std::size_t size : std::vector<std::size_t>{0, 20, 53, 54, 55, 54 + 128, 54 + 256, 54 + 300}) {
    list.push_back(
        {"input of " + std::to_string(size) + " bytes", {bytes(in, size)}, {in, kKey}, kDone, out});
  }
  return list;
}

void make(const fs::path& work, const Entry& e) {
  const fs::path path = work / e.path;
  switch (e.kind) {
    case Entry::File: writeFile(path, e.data); break;
    case Entry::Directory: fs::create_directories(path); break;
    case Entry::Symlink: fs::create_symlink(e.data, path); break;
    case Entry::Hardlink: fs::create_hard_link(work / e.data, path); break;
  }
}

// Every run: the banner and one expected message set, nothing on standard
// error; a refusal leaves every file exactly as it was (no output, input
// intact, incomplete output removed), a decryption adds or replaces only the
// output, whose bytes match OpenSSL.
TEST_F(Unseal, ConsoleStatusAndFiles) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    clearTree();
    for (const Entry& e : c.entries) make(work(), e);
    Tree expected = snapshot(tree());
    const Result result = run(c.args, {c.fileSize});
    EXPECT_EQ(result.out, kBanner + c.console);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, c.output.empty() ? 1 : 0);
    if (!c.output.empty()) {
      const std::string output = (fs::path("work") / c.output).lexically_normal().string();
      expected[output] = expectedOutput(readFile(work() / c.args[0]));
    }
    expectTree(snapshot(tree()), expected);
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
  writeFile(work() / "in.enc", randomBytes(54 + 300, 3));
  const Tree before = snapshot(tree());
  int failuresWhileDecrypting = 0;
  for (int failAt = 0;; ++failAt) {
    ASSERT_LT(failAt, 1000) << "the run never completed";
    SCOPED_TRACE("allocation " + std::to_string(failAt));
    const Result result = run({"in.enc", kKey}, {RLIM_INFINITY, failAt});
    EXPECT_EQ(result.err, "");
    if (result.status == 0) {
      EXPECT_EQ(result.out, kBanner + kDone);
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
  EXPECT_GE(failuresWhileDecrypting, 3) << "every chunk allocates its result";
}

// A stream that delivers its bytes and then fails as a device does.
class FailingSource : public std::streambuf {
 public:
  explicit FailingSource(std::string bytes) : bytes_(std::move(bytes)) {}

 protected:
  int_type underflow() override {
    if (served_) throw std::ios_base::failure("read error");
    served_ = true;
    setg(bytes_.data(), bytes_.data(), bytes_.data() + bytes_.size());
    return traits_type::to_int_type(bytes_[0]);
  }

 private:
  std::string bytes_;
  bool served_ = false;
};

// A read error inside the body ends the loop: the chunks read whole are
// written, the one the error cut short is not, and it does not go on forever.
TEST(ChunkLoop, StopsAtAReadErrorInsideTheBody) {
  const std::string body = randomBytes(300, 4);
  FailingSource source(body);
  std::istream in(&source);
  std::ostringstream out;
  EXPECT_EQ(decryptChunks(in, out, kKey), ChunkLoopResult::ReadFailed);
  EXPECT_EQ(out.str(), expectedOutput(std::string(54, '\0') + body.substr(0, 256)).substr(54, 256));
}

}  // namespace
}  // namespace unseal
