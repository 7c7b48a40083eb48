// The wipe must survive optimisation. Reading storage back after destruction
// cannot prove that (the read keeps the store alive), so the first test reads
// the machine code instead: each probe function, and each library function
// with a wipe of its own (their sources are compiled into the probe object),
// compiled at -O2, must still write at least as many zero bytes to memory as
// the secrets it destroys hold.
//
// The second test looks for what no destructor covers: key material the
// compiler put on the stack by itself (registers saved across a call). It runs
// each public operation on a stack of its own and searches what the operation
// left there for the round keys of a known key.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cipher/aes256_impl.h"
#include "support/aes_impls.h"
#include "support/engine_cases.h"
#include "support/padding_guard.h"
#include "support/vectors.h"
#include "unseal/aes256.h"
#include "unseal/cipher_engine.h"
#include "unseal/sha1.h"

namespace unseal {
namespace {

// Function name -> its instructions, for every function in the probe objects.
// The objects are not linked, so a call names its target only through its
// relocation, which is appended to the instruction ("call ... <memset-0x4>").
// The parts the compiler split off a function ("f() [clone .part.0]",
// "[clone .cold]") count as the function's own code.
std::map<std::string, std::vector<std::string>> disassemble(const std::string& objects) {
  const std::string command = "objdump -d -r --no-show-raw-insn -C " + objects;
  std::unique_ptr<FILE, decltype(&pclose)> pipe(popen(command.c_str(), "r"), pclose);
  std::map<std::string, std::vector<std::string>> functions;
  if (!pipe) return functions;
  const std::regex header(R"(^[0-9a-f]+ <(.+?)( \[clone \.(part|cold)[.0-9]*\])?>:$)");
  const std::regex relocation(R"(^\s+[0-9a-f]+: R_\S+\s+(.+)$)");
  std::string current;
  char line[4096];
  while (fgets(line, sizeof line, pipe.get()) != nullptr) {
    std::string text(line);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    std::smatch m;
    if (std::regex_match(text, m, header)) {
      current = m[1];
    } else if (current.empty()) {
      continue;
    } else if (std::regex_match(text, m, relocation) && !functions[current].empty()) {
      functions[current].back() += " <" + m[1].str() + ">";
    } else if (text.find(":\t") != std::string::npos) {
      functions[current].push_back(text.substr(text.find(":\t") + 2));
    }
  }
  return functions;
}

// The number of a vector register: %xmm3, %ymm3 and %zmm3 are one register,
// and an idiom that clears one (VEX-encoded, as compilers emit under AVX)
// clears all of it.
std::string vectorNumber(const std::string& name) {
  static const std::regex vector(R"(^%[xyz]mm(\d+)$)");
  std::smatch m;
  return std::regex_match(name, m, vector) ? m[1].str() : std::string();
}

// Zero bytes the code stores to memory: vector registers cleared by an XOR
// idiom and then stored, and immediate zeros. A call to a memset-like routine
// or a string store (rep stos) counts as a wipe of unknown size: compilers
// turn larger wipes into those.
std::size_t zeroBytesStored(const std::vector<std::string>& code, bool& callsMemset) {
  static const std::regex zeroIdiom(
      R"(^v?(pxor|xorps|xorpd)\s+(%[xyz]mm\d+),(%[xyz]mm\d+)(,(%[xyz]mm\d+))?)");
  static const std::regex vectorStore(R"(^v?mov(aps|ups|dqa|dqu|dqa64|dqu8|dqu64)\s+(%[xyz]mm\d+),.*\()");
  static const std::regex immediateStore(R"(^mov([bwlq])\s+\$0x0,.*\()");
  std::set<std::string> zeroed;  // vector register numbers
  std::size_t bytes = 0;
  for (const std::string& insn : code) {
    std::smatch m;
    if (std::regex_search(insn, m, zeroIdiom) && m[2] == m[3]) {
      zeroed.insert(vectorNumber(m[5].matched ? m[5].str() : m[3].str()));  // the destination
    } else if (std::regex_search(insn, m, vectorStore)) {
      const std::string reg = m[2].str();
      if (zeroed.count(vectorNumber(reg))) bytes += reg[1] == 'x' ? 16 : reg[1] == 'y' ? 32 : 64;
    } else if (std::regex_search(insn, m, immediateStore)) {
      bytes += std::size_t{1} << std::string("bwlq").find(m[1].str()[0]);
    } else if ((insn.find("call") == 0 && insn.find("memset") != std::string::npos) ||
               insn.find("rep stos") == 0) {
      callsMemset = true;
    } else {
      // Any other write to a cleared register (the last operand) ends its zero state.
      const auto comma = insn.rfind(',');
      if (comma != std::string::npos) zeroed.erase(vectorNumber(insn.substr(comma + 1)));
    }
  }
  return bytes;
}

TEST(Wipe, OptimisedDestructorsStillWriteTheirZeros) {
#if !defined(__x86_64__)
  GTEST_SKIP() << "the zero stores are recognised in x86-64 code only";
#endif
  const auto functions = disassemble(UNSEAL_WIPE_PROBE);
  ASSERT_FALSE(functions.empty()) << "objdump produced nothing for " << UNSEAL_WIPE_PROBE;
  const struct {
    const char* name;
    std::size_t secretBytes;
  } probes[] = {
      {"unsealProbeBlock16", 16},
      {"unsealProbeBlock32", 32},
      {"unsealProbeAes256", 64},
      // IV 16, key 64, the generator's key 64, counter 16 and output ring 64.
      {"unsealProbeCipherEngine", 224},
      {"unseal::Sha1::~Sha1()", sizeof(Sha1)},
      {"unseal::Sha1::compress(unsigned char const*)", 320},  // the message schedule
      // The keystream temporaries of the feedback modes (and CFB8's register).
      {"unseal::CipherEngine::cfbDecrypt(unseal::Block<16ul>&)", 16},
      {"unseal::CipherEngine::cfb8Encrypt(unseal::Block<16ul>&)", 16},
      {"unseal::CipherEngine::cfb8Decrypt(unseal::Block<16ul>&)", 32},
      // What a run's spills may have left on the stack, wiped after it.
      {"unseal::detail::(anonymous namespace)::wipeRunStack()", 4096},
      // What the bitsliced batch cipher spilled under a single-block operation.
      {"unseal::detail::(anonymous namespace)::wipeBatchStack()", 1024},
  };
  std::vector<std::pair<std::string, std::size_t>> checks;
  for (const auto& probe : probes) checks.emplace_back(probe.name, probe.secretBytes);
  // Every run of every implementation: its 15 round keys.
  static const std::regex run(R"(ModeRuns<.*>::\w+\(unsigned char const\*, unsigned char\*, .*\))");
  std::size_t runs = 0;
  for (const auto& [name, code] : functions) {
    if (std::regex_search(name, run)) checks.emplace_back(name, 15 * 16), ++runs;
  }
  EXPECT_EQ(runs, detail::kModeRunCount * detail::aes256Impls().size());
  for (const auto& [name, secretBytes] : checks) {
    const auto it = functions.find(name);
    ASSERT_NE(it, functions.end()) << name << " not found";
    bool callsMemset = false;
    const std::size_t zeros = zeroBytesStored(it->second, callsMemset);
    EXPECT_TRUE(callsMemset || zeros >= secretBytes)
        << name << " stores " << zeros << " zero bytes for " << secretBytes << " secret bytes";
  }
  // A plain memset before the end of a lifetime is deleted: the check sees it.
  bool controlCallsMemset = false;
  EXPECT_EQ(zeroBytesStored(functions.at("unsealProbeControl"), controlCallsMemset), 0u);
  EXPECT_FALSE(controlCallsMemset);
}

// A thread's stack, mapped fresh (so zero) for one run of an operation, and
// where the thread copies what the run left on it.
struct ScannedStack {
  static constexpr std::size_t kWords = std::size_t{1} << 17;  // 1 MiB
  const std::function<void()>* operation;
  const volatile std::uint64_t* base;
  std::uint64_t* copy;
};

// The thread's body: runs the operation, then copies everything below its own
// frame, which is where the operation's frames were. The copy makes no call
// and reads through volatile, so nothing overwrites that area before it is
// read. Not instrumented: the area belongs to frames that have returned.
__attribute__((noinline, no_sanitize("address"))) void* runThenCopyStack(void* arg) {
  const ScannedStack stack = *static_cast<const ScannedStack*>(arg);
  (*stack.operation)();
  const auto* top = static_cast<const volatile std::uint64_t*>(__builtin_frame_address(0));
  for (std::size_t i = 0; stack.base + i < top && i < ScannedStack::kWords; ++i)
    stack.copy[i] = stack.base[i];
  return nullptr;
}

// What the operation left on the stack it ran on, as bytes (empty if no
// thread could be started).
std::string stackLeftBy(const std::function<void()>& operation) {
  std::vector<std::uint64_t> copy(ScannedStack::kWords, 0);
  const std::size_t bytes = 8 * ScannedStack::kWords;
  void* mapped = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return std::string();
  ScannedStack stack{&operation, static_cast<const volatile std::uint64_t*>(mapped), copy.data()};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstack(&attr, mapped, bytes);
  pthread_t thread;
  const bool started = pthread_create(&thread, &attr, runThenCopyStack, &stack) == 0;
  if (started) pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  munmap(mapped, bytes);
  return started ? std::string(reinterpret_cast<const char*>(copy.data()), bytes) : std::string();
}

// The FIPS-197 key's schedule, 16 bytes at a time: round keys 0 to 14 and the
// four words the last step yields after round key 14 (the stored schedule end).
std::vector<std::string> roundKeysOf(const std::string& key) {
  std::uint8_t k[32];
  std::memcpy(k, key.data(), 32);
  std::vector<std::string> keys;
  std::uint8_t rc = 1;
  for (int step = 0; step <= 7; ++step) {
    if (step > 0) detail::forwardKeyStep(k, rc);
    keys.emplace_back(reinterpret_cast<const char*>(k), 16);
    keys.emplace_back(reinterpret_cast<const char*>(k) + 16, 16);
  }
  return keys;
}

class WipeStack : public test::OnEachImpl {};

TEST_P(WipeStack, NoOperationLeavesRoundKeysOnTheStack) {
  test::PaddingGuard padding;
  const std::string keyText = test::publishedVectors().at("fips197.key");
  const std::vector<std::string> roundKeys = roundKeysOf(keyText);
  // Everything the operations work on lives here, off the scanned stack.
  const Block32 keyBlock = Block32::fromText(keyText, 0);
  Block16 block = Block16::fromText(test::randomBytes(16, 1), 0);
  // 31 blocks: every batch size of every implementation, and a short block.
  std::string blocks = test::randomBytes(16 * 31, 2);
  const std::string text = test::randomBytes(16 * 31 + 8, 3), iv = test::randomBytes(16, 4);
  std::optional<Aes256> aes;
  aes.emplace(bound(Aes256(keyText)));
  std::optional<CipherEngine> engine;
  std::string cipher;
  std::stringstream in, out;

  // Each transform starts from the same IV and input, warm-up run or not.
  const auto restart = [&](const std::string& input) {
    engine->setIv(iv);
    in.clear();
    in.str(input);
    out.str("");
  };
  std::vector<std::pair<std::string, std::function<void()>>> operations = {
      {"Aes256(key text)", [&] { aes.emplace(bound(Aes256(keyText))); }},
      {"Aes256(key block)", [&] { aes.emplace(bound(Aes256(keyBlock))); }},
      {"setKey", [&] { aes->setKey(keyText); }},
      {"expandKey", [&] { aes->expandKey(keyBlock); }},
      {"encryptBlock", [&] { aes->encryptBlock(block); }},
      {"decryptBlock", [&] { aes->decryptBlock(block); }},
      {"encrypted", [&] { block = aes->encrypted(block); }},
      {"decrypted", [&] { block = aes->decrypted(block); }},
      {"encryptBlocks", [&] { aes->encryptBlocks(reinterpret_cast<std::uint8_t*>(blocks.data()), 31); }},
  };
  for (const std::int32_t mode : test::kModes) {
    const std::string name = std::string(test::kModeNames[mode]) + " ";
    operations.emplace_back(name + "engine construction",
                            [&, mode] { engine.emplace(bound(CipherEngine(keyText, mode, PKCS7))); });
    operations.emplace_back(name + "encryptText", [&] {
      restart(text);
      cipher = engine->encryptText(text, false);
    });
    operations.emplace_back(name + "decryptText", [&] {
      restart(cipher);
      (void)engine->decryptText(cipher, false);
    });
    operations.emplace_back(name + "encryptStream", [&] {
      restart(text);
      engine->encryptStream(in, out, false);
    });
    operations.emplace_back(name + "decryptStream", [&] {
      restart(iv + cipher);
      engine->decryptStream(in, out, false);
    });
  }

  for (const auto& [name, operation] : operations) {
    // Warm up first: the first call through a lazily bound symbol makes the
    // dynamic linker save every vector register on the stack.
    (void)stackLeftBy(operation);
    const std::string left = stackLeftBy(operation);
    ASSERT_FALSE(left.empty()) << "no thread ran " << name;
    for (std::size_t i = 0; i < roundKeys.size(); ++i) {
      EXPECT_EQ(left.find(roundKeys[i]), std::string::npos)
          << name << " left round key " << i << " on the stack";
    }
  }
  EXPECT_EQ(test::toHex(out.str()), test::toHex(text));  // the operations did run
}

INSTANTIATE_ON_EACH_IMPL(WipeStack);

}  // namespace
}  // namespace unseal
