// The wipe must survive optimisation. Reading storage back after destruction
// cannot prove that (the read keeps the store alive), so the first test reads
// the machine code instead: each probe function, and each library function
// with a wipe of its own (their sources are compiled into the probe object),
// compiled at -O2, must still write at least as many zero bytes to memory as
// the secrets it destroys hold. It knows the x86-64 code of g++ only, and is
// skipped elsewhere; it covers destructors the scans below do not reach.
//
// The other tests look for what is left after the calls have returned
// (tests/support/secret_scan.h): what the compiler put on the stack by itself
// (registers saved across a call), what stays in the vector registers, and
// every wipe of the command's chunk loop and of an engine, on the stack, in
// the registers and anywhere in the process's memory. They run wherever the
// suite runs, whatever the compiler and the CPU.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

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

#include "app/chunk_loop.h"
#include "app/descriptor_io.h"
#include "app/file_format.h"
#include "cipher/aes256_impl.h"
#include "cipher/cipher_stream_reference.h"
#include "support/aes_impls.h"
#include "support/engine_cases.h"
#include "support/oracle.h"
#include "support/padding_guard.h"
#include "support/secret_scan.h"
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
#if !(defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__))
  GTEST_SKIP() << "reads the x86-64 machine code of g++ only; the memory scans below run everywhere";
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
      {"unseal::detail::(anonymous namespace)::wipeStack(unsigned long)", 4096},
  };
  std::vector<std::pair<std::string, std::size_t>> checks;
  for (const auto& probe : probes) checks.emplace_back(probe.name, probe.secretBytes);
  // Every run of every implementation: its 15 round keys, unless the run
  // passes the call on to another implementation's (bitslicedRun).
  static const std::regex run(R"(ModeRuns<.*>::\w+\(unsigned char const\*, unsigned char\*, .*\))");
  static const std::regex passedOn(R"(bitslicedRun<.*>\(unsigned char const\*, unsigned char\*, .*\))");
  std::size_t runs = 0;
  for (const auto& [name, code] : functions) {
    if (std::regex_search(name, run)) checks.emplace_back(name, 15 * 16), ++runs;
    if (std::regex_search(name, passedOn)) ++runs;
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

// A round key as the equivalent inverse cipher (aesdec) takes round keys 1
// to 13: InvMixColumns of it.
std::string invMixColumns(const std::string& k) {
  const auto times = [](std::uint8_t a, std::uint8_t b) {
    std::uint8_t product = 0;
    for (; b != 0; b >>= 1, a = static_cast<std::uint8_t>(a << 1 ^ (a & 0x80 ? 0x1b : 0))) {
      if (b & 1) product ^= a;
    }
    return product;
  };
  static constexpr std::uint8_t kRow[4] = {0x0e, 0x0b, 0x0d, 0x09};
  std::string out(16, '\0');
  for (std::size_t i = 0; i < 16; ++i) {
    std::uint8_t v = 0;
    for (std::size_t j = 0; j < 4; ++j)
      v ^= times(static_cast<std::uint8_t>(k[i / 4 * 4 + j]), kRow[(j + 4 - i % 4) % 4]);
    out[i] = static_cast<char>(v);
  }
  return out;
}

// Every form a key takes inside an implementation, each given to
// add(kind, number, bytes): its round keys and the inverse cipher's.
template <class Add>
void addRoundKeys(const std::string& key, const Add& add) {
  const std::vector<std::string> roundKeys = roundKeysOf(key);
  for (std::size_t i = 0; i < roundKeys.size(); ++i) add("round key", i, roundKeys[i]);
  for (std::size_t i = 1; i <= 13; ++i) add("inverse round key", i, invMixColumns(roundKeys[i]));
}

class WipeStack : public test::OnEachImpl {};

// Each public operation, on a stack of its own: neither that stack nor the
// vector registers right after the call hold a round key (in either cipher's
// form) or 16 bytes of the text it transformed.
TEST_P(WipeStack, NoOperationLeavesSecretsOnTheStackOrInVectorRegisters) {
  test::PaddingGuard padding;
  const std::string keyText = test::publishedVectors().at("fips197.key");
  // Everything the operations work on lives here, off the scanned stack.
  const Block32 keyBlock = Block32::fromText(keyText, 0);
  Block16 block = Block16::fromText(test::randomBytes(16, 1), 0);
  // 31 blocks: every batch size of every implementation, and a short block.
  std::string blocks = test::randomBytes(16 * 31, 2);
  // Texts end in a short block, streams in a whole one.
  const std::string text = test::randomBytes(16 * 31 + 8, 3), iv = test::randomBytes(16, 4);
  const std::string wholeBlocks = text.substr(0, 16 * 31);
  test::Secrets secrets(test::randomBytes(test::Secrets::kMaskSize, 5));
  addRoundKeys(keyText, std::bind_front(&test::Secrets::add, &secrets));
  for (std::size_t at = 0; at + 16 <= text.size(); ++at) secrets.add("plaintext at", at, text.substr(at, 16));
  secrets.add("plaintext of the short final block", 0, text.substr(16 * 31));
  // Objects are made in place and then bound: a copy of an object would move
  // its keys through the vector registers after the library cleared them.
  const auto makeInPlace = [&](auto& object, const auto&... arguments) {
    object.emplace(arguments...);
    detail::Aes256Internals::bind(*object, impl());
  };
  std::optional<Aes256> aes;
  makeInPlace(aes, keyText);
  std::optional<CipherEngine> engine;
  std::string cipher, streamCipher;
  std::stringstream in, out;

  // Each transform starts from the same IV and input, warm-up run or not.
  const auto restart = [&](const std::string& input) {
    engine->setIv(iv);
    in.clear();
    in.str(input);
    out.str("");
  };
  std::vector<std::pair<std::string, std::function<void()>>> operations = {
      {"Aes256(key text)", [&] { makeInPlace(aes, keyText); }},
      {"Aes256(key block)", [&] { makeInPlace(aes, keyBlock); }},
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
    operations.emplace_back(name + "engine construction", [&, mode] {
      streamCipher.clear();
      makeInPlace(engine, keyText, mode, PKCS7);
    });
    operations.emplace_back(name + "encryptText", [&] {
      restart(text);
      cipher = engine->encryptText(text, false);
    });
    operations.emplace_back(name + "decryptText", [&] {
      restart(cipher);
      (void)engine->decryptText(cipher, false);
    });
    operations.emplace_back(name + "block-by-block decryptStream", [&, mode] {
      restart(mode == ECB ? cipher : iv + cipher);
      detail::StreamReference::decrypt(*engine, in, out, false);
    });
    operations.emplace_back(name + "encryptStream", [&] {
      restart(wholeBlocks);
      engine->encryptStream(in, out, false);
    });
    operations.emplace_back(name + "decryptStream", [&] {
      if (streamCipher.empty()) streamCipher = out.str();  // encryptStream's
      restart(iv + streamCipher);
      engine->decryptStream(in, out, false);
    });
  }

  for (const auto& [name, operation] : operations) {
    // Warm up first: the first call through a lazily bound symbol makes the
    // dynamic linker save every vector register on the stack.
    const auto call = [&operation = operation](test::Observed&) { operation(); };
    test::Observed warmUp(0), observed(0);
    test::observe(call, warmUp);
    test::observe(call, observed);
    ASSERT_TRUE(observed.ran) << "no thread ran " << name;
    test::Secrets::Findings findings;
    secrets.find(observed, findings);
    EXPECT_EQ(findings.count, 0u) << name << " left secrets behind: " << findings.report();
  }
  EXPECT_EQ(test::toHex(out.str()), test::toHex(wholeBlocks));  // the operations did run
}

// setKey and the single-block calls leave the stack below their caller the
// same under two keys (taking turns in one buffer), but where runs under one
// key differ too: a missing wipe is found in any form, bitsliced planes too.
TEST_P(WipeStack, SingleBlocksLeaveNothingKeyDependent) {
  const std::string keys[] = {test::randomBytes(32, 6), test::randomBytes(32, 7)};
  std::string key(32, '\0');
  std::optional<Aes256> aes;
  Block16 block;
  const std::function<void()> operations[] = {[&] { aes->setKey(key); }, [&] { aes->encryptBlock(block); },
                                              [&] { aes->decryptBlock(block); }};
  for (const auto& operation : operations) {
    std::vector<std::uint64_t> s[4];  // the stacks under keys 0, 1, 0, 1
    for (std::size_t run = 0; run < 4; ++run) {
      aes.emplace(key.replace(0, 32, keys[run % 2]));
      detail::Aes256Internals::bind(*aes, impl());
      block = Block16::fromText(keys[0], 0);
      test::Observed observed(0);
      test::observe([&](test::Observed&) { operation(); }, observed);
      s[run] = observed.stack;
    }
    std::size_t keyDependent = 0;
    for (std::size_t i = 0; i < s[0].size(); ++i)
      keyDependent += s[0][i] == s[2][i] && s[1][i] == s[3][i] && s[0][i] != s[1][i];
    EXPECT_EQ(keyDependent, 0u) << "words left by operation " << &operation - operations;
  }
}

INSTANTIATE_ON_EACH_IMPL(WipeStack);

// The secrets of a whole run, made by a child process so that this one never
// holds them unmasked: a fresh key, a body of two and a half buffers for the
// chunk loop and a text for an engine, encrypted with OpenSSL. The child
// writes the body's and the text's ciphertexts to `body` and `text`, and to
// `secrets` the masked key, then a SecretRecord for each of the key's round
// keys, the body's plaintext and keystream blocks, and the text's plaintext
// blocks, the last of them 15 bytes.
struct SecretRecord {
  char kind[24];
  std::uint32_t number;
  std::uint8_t length;
  char masked[16];
};
constexpr std::size_t kRunBodySize = 2 * kChunkLoopBufferSize + kChunkLoopBufferSize / 2 + 7 * 16;
constexpr std::size_t kRunTextSize = 20 * 16 + 15;

void writeRunSecrets(const std::string& mask, const std::string& iv, int body, int text, int secrets) {
  const std::string key = test::randomBytes(32, 11);
  std::string records = test::masked(mask, key);
  const auto record = [&](std::string_view kind, std::size_t number, std::string_view bytes) {
    SecretRecord r{{}, static_cast<std::uint32_t>(number), static_cast<std::uint8_t>(bytes.size()), {}};
    kind.copy(r.kind, sizeof r.kind - 1);
    test::masked(mask, bytes).copy(r.masked, sizeof r.masked);
    records.append(reinterpret_cast<const char*>(&r), sizeof r);
  };
  addRoundKeys(key, record);
  const std::string plain = test::randomBytes(kRunBodySize, 12);
  std::string cipher;
  for (std::size_t at = 0; at < plain.size(); at += kChunkSize) {
    cipher += test::opensslCipher("aes-256-cfb", key, kChunkIv, plain.substr(at, kChunkSize), true);
  }
  for (std::size_t at = 0; at < plain.size(); at += 16) {
    const std::string_view block = std::string_view(plain).substr(at, 16);
    record("body plaintext block", at / 16, block);
    if (at % kChunkSize != 0 || at == 0) {  // else E(IV) again
      record("body keystream block", at / 16, test::masked(block, std::string_view(cipher).substr(at, 16)));
    }
  }
  const std::string textPlain = test::randomBytes(kRunTextSize, 13);
  const std::string padding(16 - kRunTextSize % 16, static_cast<char>(16 - kRunTextSize % 16));  // PKCS7
  const std::string textCipher = test::opensslCipher("aes-256-cbc", key, iv, textPlain + padding, true);
  for (std::size_t at = 0; at < textPlain.size(); at += 16) {
    record("text plaintext block", at / 16, std::string_view(textPlain).substr(at, 16));
  }
  if (!writeAll(body, cipher.data(), cipher.size()) ||
      !writeAll(text, textCipher.data(), textCipher.size()) ||
      !writeAll(secrets, records.data(), records.size())) {
    _exit(1);
  }
}

std::string contentsOf(int fd) {
  std::string bytes(static_cast<std::size_t>(::lseek(fd, 0, SEEK_END)), '\0');
  EXPECT_EQ(::pread(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  ::lseek(fd, 0, SEEK_SET);
  return bytes;
}

class WipeRun : public test::OnEachImpl {};

// What the command does with a key, and what an engine does: the chunk loop
// over a body of two and a half buffers, then an engine's CBC decryption of a
// text whose padding is stripped. After them no round key, keystream or
// plaintext block is left in the vector registers after either call, on the
// stack below the caller, or anywhere in the process's writable memory
// (heap, the loop's static buffers, the writer thread's stack). Only the
// output file holds the plaintext.
TEST_P(WipeRun, NoSecretOutlivesAWholeRun) {
  test::PaddingGuard padding;
  const std::string mask = test::randomBytes(test::Secrets::kMaskSize, 14), iv = test::randomBytes(16, 15);
  const Descriptor body(::memfd_create("body", 0)), text(::memfd_create("text", 0)),
      records(::memfd_create("secrets", 0)), output(::memfd_create("output", 0));
  const pid_t child = ::fork();
  if (child == 0) {
    writeRunSecrets(mask, iv, body.get(), text.get(), records.get());
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_EQ(::lseek(body.get(), 0, SEEK_SET), 0);  // the child's writes moved it
  const std::string textCipher = contentsOf(text.get()), recorded = contentsOf(records.get());
  const std::string maskedKey = recorded.substr(0, 32);
  test::Secrets secrets(mask);
  std::string maskedBody, maskedText;  // the plaintexts, to check the outputs
  for (std::size_t at = 32; at + sizeof(SecretRecord) <= recorded.size(); at += sizeof(SecretRecord)) {
    SecretRecord r;
    std::memcpy(&r, recorded.data() + at, sizeof r);
    const std::string_view bytes(r.masked, r.length);
    secrets.addMasked(r.kind, r.number, bytes);
    if (std::string_view(r.kind) == "body plaintext block") maskedBody += bytes;
    if (std::string_view(r.kind) == "text plaintext block") maskedText += bytes;
  }

  ChunkLoopResult result = ChunkLoopResult::ReadFailed;
  bool textDecrypted = false;
  // Each library call runs deeper in the stack than the calls after it, so
  // that those do not overwrite what it left; the registers are saved right
  // after each.
  std::optional<test::Observed> observed(std::in_place, 3);
  test::observe(
      [&](test::Observed& seen) {
        std::string key = test::masked(mask, maskedKey);
        const std::string_view keyText(key);
        test::atDepth(96 * 1024, [&] {
          result = decryptChunks(body.get(), output.get(), keyText, impl());
          seen.takeRegisters();
        });
        std::optional<CipherEngine> engine;
        test::atDepth(48 * 1024, [&] {
          engine.emplace(keyText, CBC, PKCS7);
          detail::Aes256Internals::bind(*engine, impl());
          seen.takeRegisters();
          engine->setIv(iv);
        });
        std::string plain;
        test::atDepth(16 * 1024, [&] {
          plain = engine->decryptText(textCipher, false);
          seen.takeRegisters();
        });
        textDecrypted = test::masked(mask, plain) == maskedText;
        secureWipe(plain.data(), plain.size());
        engine.reset();
        secureWipe(key.data(), key.size());
      },
      *observed);
  ASSERT_TRUE(observed->ran);
  test::Secrets::Findings findings;
  secrets.find(*observed, findings);
  observed.reset();  // wipes what it copied, before the whole memory is searched
  secrets.findInProcessMemory(findings);
  EXPECT_EQ(findings.count, 0u) << findings.report();

  EXPECT_EQ(result, ChunkLoopResult::Done);
  EXPECT_TRUE(textDecrypted);
  std::string decrypted = contentsOf(output.get());
  decrypted.resize(kRunBodySize);
  EXPECT_TRUE(test::masked(mask, decrypted) == maskedBody) << "the chunk loop's output differs";
  secureWipe(decrypted.data(), decrypted.size());  // freed memory is kept, and searched, by a sanitizer
}

INSTANTIATE_ON_EACH_IMPL(WipeRun);

}  // namespace
}  // namespace unseal
