#include "unseal/cipher_engine.h"

#include <cstdint>
#include <cstring>
#include <span>
#include <stdexcept>

#include "cipher/aes256_impl.h"
#include "unseal/errors.h"
#include "unseal/system_random.h"

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

std::span<const std::uint8_t> bytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}
std::span<std::uint8_t> bytesOf(std::string& text) {
  return {reinterpret_cast<std::uint8_t*>(text.data()), text.size()};
}
std::span<const std::uint8_t> octetsOf(std::span<const std::byte> bytes) {
  return {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()};
}
std::span<std::uint8_t> octetsOf(std::span<std::byte> bytes) {
  return {reinterpret_cast<std::uint8_t*>(bytes.data()), bytes.size()};
}
std::string_view textOf(std::span<const std::uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// The bytes of a text that a run takes: its whole blocks, or all of it.
std::size_t runLength(std::size_t n, bool bytewise) { return bytewise ? n : n - n % 16; }

// Exactly the lengths encryptText produces: whole blocks in the modes that
// pad, at least one unless noPadding; any length in the others.
bool ciphertextLengthPossible(std::size_t n, bool modePads, bool noPadding) {
  return !modePads || (n % 16 == 0 && (n > 0 || noPadding));
}

// Refuses an output too small for `needed` bytes, or one that shares memory
// with the input without starting where it starts (the runs read each block
// before they write it, so only exact aliasing is safe).
void checkOutput(std::span<const std::uint8_t> in, std::span<std::uint8_t> out, std::size_t needed) {
  if (out.size() < needed) throw std::invalid_argument(kSmallOutputMessage);
  const auto inStart = reinterpret_cast<std::uintptr_t>(in.data());
  const auto outStart = reinterpret_cast<std::uintptr_t>(out.data());
  const bool apart = inStart + in.size() <= outStart || outStart + needed <= inStart;
  if (inStart != outStart && !apart) throw std::invalid_argument(kOverlapMessage);
}

}  // namespace

// Members are built in declaration order: iv_ (empty, padded under the scheme
// in force now), aes_, random_; a step that raises destroys, and so wipes,
// what was built before it. The padding setting is written last, so a failed
// construction leaves it unchanged.
CipherEngine::CipherEngine(std::string_view key, std::string_view seed, std::string_view randomKey,
                           std::int32_t mode, std::int32_t padding)
    : iv_(), aes_(key), random_(seed, randomKey) {
  autoIv_ = true;
  selectMode(mode);
  setPadding(padding);
}

CipherEngine::CipherEngine(std::string_view key, std::string_view seed, std::int32_t mode,
                           std::int32_t padding)
    : CipherEngine(key, seed, std::string_view(), mode, padding) {}

CipherEngine::CipherEngine(std::string_view key, std::int32_t mode, std::int32_t padding)
    : CipherEngine(key, std::string_view(), std::string_view(), mode, padding) {}

CipherEngine CipherEngine::withSystemRandomIvs(std::string_view key, std::int32_t mode,
                                               std::int32_t padding) {
  struct Fresh {
    std::byte bytes[48];
    ~Fresh() { secureWipe(bytes, sizeof bytes); }
  } fresh;
  systemRandomFill(fresh.bytes);
  const std::string_view text(reinterpret_cast<const char*>(fresh.bytes), sizeof fresh.bytes);
  return CipherEngine(key, text.substr(32), text.substr(0, 32), mode, padding);
}

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

std::string CipherEngine::drawIv() {
  random_.fillBlock(iv_);
  autoIv_ = false;
  return iv_.toText(false);
}

std::string CipherEngine::getIv() const { return iv_.toText(false); }

std::string CipherEngine::getKey() const { return aes_.encryptionKey().toText(false); }

void CipherEngine::drawIvIfAutomatic() noexcept {
  if (mode_ != ECB && autoIv_) random_.fillBlock(iv_);
}

void CipherEngine::encryptRun(std::uint8_t* bytes, std::size_t length) noexcept {
  detail::Aes256Internals::run(aes_, kModes[mode_].encryptRun, iv_.data(), bytes, bytes, length);
}

void CipherEngine::decryptRun(std::uint8_t* bytes, std::size_t length) noexcept {
  detail::Aes256Internals::run(aes_, kModes[mode_].decryptRun, iv_.data(), bytes, bytes, length);
}

std::size_t CipherEngine::encryptedLength(std::size_t length, bool noPadding) const noexcept {
  if (!modePads_) return length;
  const bool finalBlock = length % 16 != 0 || !noPadding;
  return length - length % 16 + (finalBlock ? 16 : 0);
}

std::size_t CipherEngine::encryptInto(std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                                      bool noPadding) {
  const std::size_t length = encryptedLength(in.size(), noPadding);
  checkOutput(in, out, length);
  const RegistersClearedOnExit cleared;  // the final block's copies
  drawIvIfAutomatic();
  const ModeEntry& entry = kModes[mode_];
  const std::size_t n = in.size();
  const std::size_t bulk = runLength(n, entry.bytewise);
  detail::Aes256Internals::run(aes_, entry.encryptRun, iv_.data(), in.data(), out.data(), bulk);
  // A short final block, or the block of padding after an aligned text, goes
  // through encryptOp alone; without padding only the text's bytes are kept.
  if (bulk < n || length > n) {
    Block16 last = Block16::fromText(textOf(in), bulk);
    (this->*encryptOp_)(last);
    std::memcpy(out.data() + bulk, last.data(), length - bulk);
  }
  return length;
}

std::size_t CipherEngine::decryptInto(std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                                      bool noPadding) {
  const std::size_t n = in.size();
  if (!ciphertextLengthPossible(n, modePads_, noPadding)) throw std::invalid_argument(kBadLengthMessage);
  checkOutput(in, out, n);
  const RegistersClearedOnExit cleared;  // the final block's copies

  // A short final block, or a final block whose padding is stripped, goes
  // through decryptOp alone.
  const ModeEntry& entry = kModes[mode_];
  const bool stripFinal = modePads_ && !noPadding;
  const std::size_t bulk = stripFinal ? n - 16 : runLength(n, entry.bytewise);
  detail::Aes256Internals::run(aes_, entry.decryptRun, iv_.data(), in.data(), out.data(), bulk);
  if (bulk == n) return n;
  Block16 last = Block16::fromText(textOf(in), bulk);
  (this->*decryptOp_)(last);
  std::size_t kept = n - bulk;
  if (stripFinal) {
    try {
      kept = last.unpaddedLength();
    } catch (const std::invalid_argument&) {
      secureWipe(out.data(), bulk);  // the plaintext of a text that failed
      throw;
    }
  }
  std::memcpy(out.data() + bulk, last.data(), kept);
  return bulk + kept;
}

std::size_t CipherEngine::encryptInto(std::span<const std::byte> in, std::span<std::byte> out,
                                      bool noPadding) {
  return encryptInto(octetsOf(in), octetsOf(out), noPadding);
}

std::size_t CipherEngine::decryptInto(std::span<const std::byte> in, std::span<std::byte> out,
                                      bool noPadding) {
  return decryptInto(octetsOf(in), octetsOf(out), noPadding);
}

// The result is written once, by the run and by the final block. (It is
// zero-filled first: C++20 has no string of uninitialised bytes.)
std::string CipherEngine::encryptText(std::string_view text, bool noPadding) {
  std::string result(encryptedLength(text.size(), noPadding), '\0');
  encryptInto(bytesOf(text), bytesOf(result), noPadding);
  return result;
}

std::string CipherEngine::decryptText(std::string_view text, bool noPadding) {
  std::string result(text.size(), '\0');  // no reallocation, so no stray copies of plaintext
  WipeUnlessReleased guard(result);
  result.resize(decryptInto(bytesOf(text), bytesOf(result), noPadding));
  return std::move(guard.release());
}

}  // namespace unseal
