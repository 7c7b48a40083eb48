#include "cipher/cipher_engine.h"

#include <stdexcept>

namespace unseal {
namespace {

constexpr const char* kInvalidModeMessage = "Invalid chaining mode requested";
constexpr const char* kShortIvMessage = "IV must contain at least 16 bytes of data";
constexpr const char* kBadLengthMessage = "Length of string to decrypt is incorrect";

struct ModeEntry {
  CipherEngine::BlockOp encrypt;
  CipherEngine::BlockOp decrypt;
  CipherEngine::BlocksOp decryptWholeBlocks;
  bool pads;
};

// Indexed by ChainingMode. OFB and CTR use one operation both ways.
constexpr ModeEntry kModes[] = {
    {&CipherEngine::ecbEncrypt, &CipherEngine::ecbDecrypt, &CipherEngine::eachDecrypt, true},
    {&CipherEngine::cbcEncrypt, &CipherEngine::cbcDecrypt, &CipherEngine::eachDecrypt, true},
    {&CipherEngine::pcbcEncrypt, &CipherEngine::pcbcDecrypt, &CipherEngine::eachDecrypt, true},
    {&CipherEngine::cfbEncrypt, &CipherEngine::cfbDecrypt, &CipherEngine::cfbDecryptBlocks, false},
    {&CipherEngine::cfb8Encrypt, &CipherEngine::cfb8Decrypt, &CipherEngine::eachDecrypt, false},
    {&CipherEngine::ofbCrypt, &CipherEngine::ofbCrypt, &CipherEngine::eachDecrypt, false},
    {&CipherEngine::ctrCrypt, &CipherEngine::ctrCrypt, &CipherEngine::eachDecrypt, false},
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

void appendBytes(std::string& out, const Block16& block, std::size_t count) {
  out.append(reinterpret_cast<const char*>(block.data()), count);
}

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

std::string CipherEngine::encryptText(std::string_view text, bool noPadding) {
  const std::size_t n = text.size();
  drawIvIfAutomatic();
  std::string result;
  result.reserve(n + 16);
  for (std::size_t offset = 0; offset < n; offset += 16) {
    Block16 block = Block16::fromText(text, offset);
    (this->*encryptOp_)(block);
    // Without padding the output is as long as the input: the transformed
    // fill bytes of a short final block are not kept.
    const std::size_t rest = n - offset;
    appendBytes(result, block, modePads_ || rest >= 16 ? 16 : rest);
  }
  if (modePads_ && n % 16 == 0 && !noPadding) {
    Block16 padding;
    (this->*encryptOp_)(padding);
    appendBytes(result, padding, 16);
  }
  return result;
}

std::string CipherEngine::decryptText(std::string_view text, bool noPadding) {
  const std::size_t n = text.size();
  if (!ciphertextLengthPossible(n, modePads_, noPadding)) throw std::invalid_argument(kBadLengthMessage);

  // Whole blocks are decrypted in place in the result; a short final block,
  // or a final block whose padding is stripped, goes through decryptOp alone.
  const bool stripFinal = modePads_ && !noPadding;
  const std::size_t wholeBytes = stripFinal ? n - 16 : n - n % 16;
  std::string result;
  result.reserve(n);  // no reallocation, so no stray copies of plaintext
  WipeUnlessReleased guard(result);
  result.assign(text.substr(0, wholeBytes));
  (this->*kModes[mode_].decryptWholeBlocks)(reinterpret_cast<std::uint8_t*>(result.data()), wholeBytes / 16);
  if (wholeBytes < n) {
    Block16 block = Block16::fromText(text, wholeBytes);
    (this->*decryptOp_)(block);
    if (stripFinal) {
      std::string last = block.toText(true);
      result.append(last);
      secureWipe(last.data(), last.size());
    } else {
      appendBytes(result, block, n - wholeBytes);
    }
  }
  return std::move(guard.release());
}

}  // namespace unseal
