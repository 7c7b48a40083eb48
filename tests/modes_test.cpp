// The block operations of the seven chaining modes, driven one block (or, in
// CFB8, a few bytes) at a time through a CipherEngine.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <map>
#include <string>
#include <tuple>

#include "cipher/aes256_impl.h"
#include "support/aes_impls.h"
#include "support/oracle.h"
#include "support/padding_guard.h"
#include "support/vectors.h"
#include "unseal/cipher_engine.h"

namespace unseal {
namespace {

using test::PaddingGuard;
using test::publishedVectors;
using test::toHex;
using Op = CipherEngine::BlockOp;

// What the engine's IV holds after a run of blocks.
enum class State { Unused, LastCipherBlock, PlainXorCipher, Last16CipherBytes, Counter };

struct ModeCase {
  const char* name;
  std::int32_t mode;
  Op encrypt, decrypt;
  const char* ivName;      // starting IV in the published vector file
  const char* cipherName;  // ciphertext of "plain" in that file
  std::size_t step;        // bytes per operation call
  State state;
};

const ModeCase kCases[] = {
    {"ECB", ECB, &CipherEngine::ecbEncrypt, &CipherEngine::ecbDecrypt, "iv", "ecb", 16, State::Unused},
    {"CBC", CBC, &CipherEngine::cbcEncrypt, &CipherEngine::cbcDecrypt, "iv", "cbc", 16,
     State::LastCipherBlock},
    {"PCBC", PCBC, &CipherEngine::pcbcEncrypt, &CipherEngine::pcbcDecrypt, "iv", "pcbc", 16,
     State::PlainXorCipher},
    {"CFB", CFB, &CipherEngine::cfbEncrypt, &CipherEngine::cfbDecrypt, "iv", "cfb128", 16,
     State::LastCipherBlock},
    {"CFB8 bytewise", CFB8, &CipherEngine::cfb8Encrypt, &CipherEngine::cfb8Decrypt, "iv", "cfb8", 1,
     State::Last16CipherBytes},
    {"CFB8 5 bytes", CFB8, &CipherEngine::cfb8Encrypt, &CipherEngine::cfb8Decrypt, "iv", "cfb8", 5,
     State::Last16CipherBytes},
    {"CFB8 blockwise", CFB8, &CipherEngine::cfb8Encrypt, &CipherEngine::cfb8Decrypt, "iv", "cfb8", 16,
     State::Last16CipherBytes},
    {"OFB", OFB, &CipherEngine::ofbCrypt, &CipherEngine::ofbCrypt, "iv", "ofb", 16,
     State::PlainXorCipher},  // the keystream block
    {"CTR", CTR, &CipherEngine::ctrCrypt, &CipherEngine::ctrCrypt, "ctr.counter", "ctr.lowbytefirst", 16,
     State::Counter},
};

class ChainingModes : public test::OnEachImpl {};

std::string xorBytes(std::string a, std::string_view b) {
  for (std::size_t i = 0; i < a.size(); ++i) a[i] = static_cast<char>(a[i] ^ b[i]);
  return a;
}

// Adds one to a 16-byte counter whose byte 0 is least significant.
std::string incremented(std::string counter) {
  for (char& c : counter) {
    c = static_cast<char>(static_cast<unsigned char>(c) + 1);
    if (c != 0) break;
  }
  return counter;
}

std::string stateAfter(State state, const std::string& iv, const std::string& plain,
                       const std::string& cipher, std::size_t done) {
  switch (state) {
    case State::Unused: return iv;
    case State::LastCipherBlock: return cipher.substr(done - 16, 16);
    case State::PlainXorCipher: return xorBytes(plain.substr(done - 16, 16), cipher.substr(done - 16, 16));
    case State::Last16CipherBytes: return (iv + cipher.substr(0, done)).substr(done);
    case State::Counter: {
      std::string counter = iv;
      for (std::size_t i = 0; i < done; i += 16) counter = incremented(counter);
      return counter;
    }
  }
  return "";
}

// The AES-256 examples: every mode reproduces its published ciphertext call by
// call, decrypts it back, and leaves the documented chaining state in the IV
// after every call. Bytes past a short block's fill length stay as they were.
TEST_P(ChainingModes, ReproducePublishedExamplesCallByCall) {
  const auto& v = publishedVectors();
  const std::string& key = v.at("key");
  const std::string& plain = v.at("plain");
  PaddingGuard guard;
  for (const auto& c : kCases) {
    const std::string& iv = v.at(c.ivName);
    const std::string& cipher = v.at(c.cipherName);
    // The oracle the other transform tests rely on agrees with the examples.
    EXPECT_EQ(toHex(test::referenceModeCipher(c.mode, key, iv, plain, true)), toHex(cipher)) << c.name;
    EXPECT_EQ(toHex(test::referenceModeCipher(c.mode, key, iv, cipher, false)), toHex(plain)) << c.name;

    CipherEngine engine = bound(CipherEngine(key, c.mode, PKCS7));
    for (const bool encrypt : {true, false}) {
      engine.setIv(iv);
      const std::string& in = encrypt ? plain : cipher;
      const std::string& out = encrypt ? cipher : plain;
      for (std::size_t i = 0; i < in.size(); i += c.step) {
        const std::size_t n = std::min(c.step, in.size() - i);
        Block16 block = Block16::fromText(in.substr(i, n), 0);
        const std::string before = block.toText(false);
        Block16& result = (engine.*(encrypt ? c.encrypt : c.decrypt))(block);
        EXPECT_EQ(&result, &block);
        const std::string after = block.toText(false);
        EXPECT_EQ(toHex(after.substr(0, n)), toHex(out.substr(i, n)))
            << c.name << (encrypt ? " encrypt" : " decrypt") << " at " << i;
        EXPECT_EQ(after.substr(n), before.substr(n)) << c.name << " at " << i;
        EXPECT_EQ(block.fillLength(), n);
        EXPECT_EQ(toHex(engine.getIv()), toHex(stateAfter(c.state, iv, plain, cipher, i + n)))
            << c.name << (encrypt ? " encrypt" : " decrypt") << " state after " << i + n;
      }
    }
  }
}

// The counter advances at byte 0, so only the first block of the usual
// big-endian counter example agrees; the carry runs towards byte 15 and out.
TEST_P(ChainingModes, CtrCountsFromByteZero) {
  const auto& v = publishedVectors();
  PaddingGuard guard;
  CipherEngine engine = bound(CipherEngine(v.at("key"), CTR, PKCS7));
  engine.setIv(v.at("ctr.counter"));
  const std::string cipher = engine.encryptText(v.at("plain"), true);
  const std::string& standard = v.at("ctr.standard");
  EXPECT_EQ(toHex(cipher.substr(0, 16)), toHex(standard.substr(0, 16)));
  for (std::size_t i = 16; i < 64; i += 16) EXPECT_NE(cipher.substr(i, 16), standard.substr(i, 16)) << i;

  const struct {
    std::string before, after;
  } wraps[] = {{std::string(32, 'f'), std::string(32, '0')},
               {"ffff" + std::string(26, '0') + "ff", "000001" + std::string(24, '0') + "ff"}};
  for (const auto& w : wraps) {
    engine.setIv(test::fromHex(w.before));
    Block16 block = Block16::fromText(std::string(16, '\0'), 0);
    engine.ctrCrypt(block);
    EXPECT_EQ(toHex(engine.getIv()), w.after);
    EXPECT_EQ(toHex(block.toText(false)),  // the keystream: the counter before the step, encrypted
              toHex(test::opensslCipher("aes-256-ecb", v.at("key"), "", test::fromHex(w.before), true)));
  }

  // A whole text carries the same way, from byte 7 into byte 8 and out of
  // byte 15, wherever the carry falls among the blocks done side by side.
  const std::string text = test::randomBytes(16 * 40 + 5, 7);
  for (const std::string& start : {std::string(32, 'f'), "f9" + std::string(14, 'f') + "0123456789abcdef",
                                   "e3" + std::string(30, 'f')}) {
    engine.setIv(test::fromHex(start));
    EXPECT_EQ(toHex(engine.encryptText(text, true)),
              toHex(test::referenceModeCipher(CTR, v.at("key"), test::fromHex(start), text, true)))
        << start;
    EXPECT_EQ(toHex(engine.getIv()),
              toHex(stateAfter(State::Counter, test::fromHex(start), "", "", 16 * 41)));
  }
}

// CFB8 with fill length 0 changes neither the block nor the IV.
TEST_P(ChainingModes, Cfb8WithNothingToTransform) {
  const std::string iv = test::randomBytes(16, 2), bytes = test::randomBytes(16, 3);
  PaddingGuard guard;
  CipherEngine engine = bound(CipherEngine(test::randomBytes(32, 1), CFB8, PKCS7));
  engine.setIv(iv);
  for (const Op op : {&CipherEngine::cfb8Encrypt, &CipherEngine::cfb8Decrypt}) {
    Block16 block = Block16::fromText(bytes, 0);
    (engine.*op)(block.setFillLength(0));
    EXPECT_EQ(block.toText(false), bytes);
    EXPECT_EQ(engine.getIv(), iv);
  }
}

// NIST's AES-256 known answers (AESAVS KAT and MMT response files in
// tests/data/nist), each record through the implementation's run of its mode.
TEST_P(ChainingModes, NistKnownAnswersThroughTheRuns) {
  using enum detail::ModeRun;
  const std::tuple<std::string, detail::ModeRun, detail::ModeRun> modes[] = {
      {"ECB", EcbEncrypt, EcbDecrypt},
      {"CBC", CbcEncrypt, CbcDecrypt},
      {"CFB128", CfbEncrypt, CfbDecrypt},
      {"CFB8", Cfb8Encrypt, Cfb8Decrypt},
      {"OFB", OfbCrypt, OfbCrypt}};
  std::size_t records = 0;
  for (const auto& [mode, encryptRun, decryptRun] : modes) {
    for (const char* kind : {"GFSbox", "KeySbox", "VarKey", "VarTxt", "MMT"}) {
      std::ifstream file(UNSEAL_TEST_DATA "/nist/" + mode + kind + "256.rsp");
      std::map<std::string, std::string> r;  // a record's fields: "KEY" -> its hex, ...
      for (std::string line, section; std::getline(file, line);) {
        if (line.starts_with('[')) section = line;
        if (const auto eq = line.find(" = "); eq != std::string::npos)
          r[line.substr(0, eq)] = line.substr(eq + 3);
        if (!r.contains("PLAINTEXT") || !r.contains("CIPHERTEXT")) continue;
        const bool encrypt = section == "[ENCRYPT]";
        std::string iv = test::fromHex(r["IV"] + std::string(32, '0')),
                    text = test::fromHex(r[encrypt ? "PLAINTEXT" : "CIPHERTEXT"]);
        auto* const bytes = reinterpret_cast<std::uint8_t*>(text.data());
        detail::Aes256Internals::run(bound(Aes256(test::fromHex(r["KEY"]))),
                                     encrypt ? encryptRun : decryptRun,
                                     reinterpret_cast<std::uint8_t*>(iv.data()), bytes, bytes, text.size());
        EXPECT_EQ(toHex(text), r[encrypt ? "CIPHERTEXT" : "PLAINTEXT"]) << mode << kind << ", " << r["COUNT"];
        r.clear(), ++records;
      }
    }
  }
  EXPECT_EQ(records, 4150u);
}

INSTANTIATE_ON_EACH_IMPL(ChainingModes);

}  // namespace
}  // namespace unseal
