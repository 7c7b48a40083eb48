#include "unseal/cipher_engine.h"

#include <cstring>
#include <stdexcept>

#include "cipher/aes256_impl.h"
#include "unseal/errors.h"

namespace unseal {
namespace {

// A mode's block operations, and the runs that do the same over a whole text.
struct ModeEntry {
  CipherEngine::BlockOp encrypt;
  CipherEngine::BlockOp decrypt;
  detail::ModeRun encryptRun;
  detail::ModeRun decryptRun;
  bool pads;
  bool bytewise;  // the run takes every byte, a short final block included
};

// Indexed by ChainingMode. OFB and CTR use one operation both ways.
constexpr ModeEntry kModes[] = {
    {&CipherEngine::ecbEncrypt, &CipherEngine::ecbDecrypt, detail::EcbEncrypt, detail::EcbDecrypt, true,
     false},
    {&CipherEngine::cbcEncrypt, &CipherEngine::cbcDecrypt, detail::CbcEncrypt, detail::CbcDecrypt, true,
     false},
    {&CipherEngine::pcbcEncrypt, &CipherEngine::pcbcDecrypt, detail::PcbcEncrypt, detail::PcbcDecrypt, true,
     false},
    {&CipherEngine::cfbEncrypt, &CipherEngine::cfbDecrypt, detail::CfbEncrypt, detail::CfbDecrypt, false,
     false},
    {&CipherEngine::cfb8Encrypt, &CipherEngine::cfb8Decrypt, detail::Cfb8Encrypt, detail::Cfb8Decrypt, false,
     true},
    {&CipherEngine::ofbCrypt, &CipherEngine::ofbCrypt, detail::OfbCrypt, detail::OfbCrypt, false, false},
    {&CipherEngine::ctrCrypt, &CipherEngine::ctrCrypt, detail::CtrCrypt, detail::CtrCrypt, false, false},
};
constexpr std::int32_t kModeCount = static_cast<std::int32_t>(sizeof kModes / sizeof kModes[0]);

// Wipes a text being built from secrets if an exception abandons it.
class WipeUnlessReleased {
 public:
  explicit WipeUnlessReleased(std::string& text) : text_(text) {}
  ~WipeUnlessReleased() {
    if (!released_) secureWipe(text_.data(), text_.size());
  }
  std::string& release() {
    released_ = true;
    return text_;
  }
  WipeUnlessReleased(const WipeUnlessReleased&) = delete;
  WipeUnlessReleased& operator=(const WipeUnlessReleased&) = delete;

 private:
  std::string& text_;
  bool released_ = false;
};

const std::uint8_t* bytesOf(std::string_view text) {
  return reinterpret_cast<const std::uint8_t*>(text.data());
}
std::uint8_t* bytesOf(std::string& text) { return reinterpret_cast<std::uint8_t*>(text.data()); }

// The bytes of a text that a run takes: its whole blocks, or all of it.
std::size_t runLength(std::size_t n, bool bytewise) { return bytewise ? n : n - n % 16; }

// Exactly the lengths encryptText produces: whole blocks in the modes that
// pad, at least one unless noPadding; any length in the others.
bool ciphertextLengthPossible(std::size_t n, bool modePads, bool noPadding) {
  return !modePads || (n % 16 == 0 && (n > 0 || noPadding));
}

}  // namespace

// Members are built in declaration order: iv_ (empty, padded under the scheme
// in force now), aes_, random_; a step that raises destroys, and so wipes,
// what was built before it. The padding setting is written last, so a failed
// construction leaves it unchanged.
CipherEngine::CipherEngine(std::string_view key, std::string_view seed, std::int32_t mode,
                           std::int32_t padding)
    : iv_(), aes_(key), random_(seed, std::string_view()) {
  autoIv_ = true;
  selectMode(mode);
  setPadding(padding);
}

CipherEngine::CipherEngine(std::string_view key, std::int32_t mode, std::int32_t padding)
    : CipherEngine(key, std::string_view(), mode, padding) {}

void detail::Aes256Internals::bind(CipherEngine& engine, const Aes256Impl& impl) noexcept {
  bind(engine.aes_, impl);
  bind(engine.random_, impl);
}

void CipherEngine::selectMode(std::int32_t mode) {
  if (mode < 0 || mode >= kModeCount) throw std::invalid_argument(kInvalidModeMessage);
  const ModeEntry& entry = kModes[mode];
  mode_ = mode;
  encryptOp_ = entry.encrypt;
  decryptOp_ = entry.decrypt;
  modePads_ = entry.pads;
}

void CipherEngine::setPadding(std::int32_t padding) noexcept { Block16::setPaddingScheme(padding); }

void CipherEngine::setIv(std::string_view text) {
  if (text.empty()) {
    autoIv_ = true;
    return;
  }
  if (text.size() < 16) throw std::invalid_argument(kShortIvMessage);
  iv_.assignText(text);
  autoIv_ = false;
}

std::string CipherEngine::getIv() const { return iv_.toText(false); }

std::string CipherEngine::getKey() const { return aes_.encryptionKey().toText(false); }

void CipherEngine::drawIvIfAutomatic() noexcept {
  if (mode_ != ECB && autoIv_) random_.fillBlock(iv_);
}

// The result is written once, by the run and by the final block. (It is
// zero-filled first: C++20 has no string of uninitialised bytes.)
std::string CipherEngine::encryptText(std::string_view text, bool noPadding) {
  const RegistersClearedOnExit cleared;  // the final block's copies
  drawIvIfAutomatic();
  const ModeEntry& entry = kModes[mode_];
  const std::size_t n = text.size();
  const std::size_t bulk = runLength(n, entry.bytewise);
  // A short final block, or the block of padding after an aligned text, goes
  // through encryptOp alone; without padding only the text's bytes are kept.
  const bool finalBlock = bulk < n || (modePads_ && !noPadding);
  const std::size_t length = modePads_ && finalBlock ? bulk + 16 : n;
  std::string result(length, '\0');
  detail::Aes256Internals::run(aes_, entry.encryptRun, iv_.data(), bytesOf(text), bytesOf(result), bulk);
  if (finalBlock) {
    Block16 last = Block16::fromText(text, bulk);
    (this->*encryptOp_)(last);
    std::memcpy(bytesOf(result) + bulk, last.data(), length - bulk);
  }
  return result;
}

std::string CipherEngine::decryptText(std::string_view text, bool noPadding) {
  const RegistersClearedOnExit cleared;  // the final block's copies
  const std::size_t n = text.size();
  if (!ciphertextLengthPossible(n, modePads_, noPadding)) throw std::invalid_argument(kBadLengthMessage);

  // A short final block, or a final block whose padding is stripped, goes
  // through decryptOp alone.
  const ModeEntry& entry = kModes[mode_];
  const bool stripFinal = modePads_ && !noPadding;
  const std::size_t bulk = stripFinal ? n - 16 : runLength(n, entry.bytewise);
  std::string result(n, '\0');  // no reallocation, so no stray copies of plaintext
  WipeUnlessReleased guard(result);
  detail::Aes256Internals::run(aes_, entry.decryptRun, iv_.data(), bytesOf(text), bytesOf(result), bulk);
  if (bulk < n) {
    Block16 last = Block16::fromText(text, bulk);
    (this->*decryptOp_)(last);
    if (stripFinal) {
      std::string kept = last.toText(true);
      std::memcpy(bytesOf(result) + bulk, kept.data(), kept.size());
      result.resize(bulk + kept.size());
      secureWipe(kept.data(), kept.size());
    } else {
      std::memcpy(bytesOf(result) + bulk, last.data(), n - bulk);
    }
  }
  return std::move(guard.release());
}

}  // namespace unseal
