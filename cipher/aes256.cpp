#include "unseal/aes256.h"

#include <algorithm>
#include <stdexcept>

#include "cipher/aes256_impl.h"

namespace unseal {
namespace detail {
namespace {

// Deeper than any run's frames: round keys (480 bytes, or 1920 as the
// bitsliced planes), a batch of lanes, the bitsliced cipher's own frame and
// what the compiler spills around them (3 KiB at most on x86-64).
constexpr std::size_t kRunStackBytes = 4096;

// An implementation keeps round keys and states in registers, and the
// compiler may spill some of them to its stack frame, where no destructor
// reaches them. Once it has returned, this frame lies over the same stack, and
// the `bytes` of it nearest the caller are wiped. Not instrumented, so that
// the area is on the real stack rather than on the AddressSanitizer's fake one.
__attribute__((noinline, no_sanitize("address"))) void wipeStack(std::size_t bytes) noexcept {
  std::uint8_t area[kRunStackBytes];
  bytes = std::min(bytes, sizeof area);
  secureWipe(area + sizeof area - bytes, bytes);
}

// Every call into an implementation is followed by one of these, so whatever
// it left in the vector registers (round keys, keystream, plaintext) or on the
// stack is gone before the caller's code runs, for every implementation
// alike. Single blocks and key installations are the cheap calls: there only
// what the implementation declares is wiped (for the x86 ones nothing; the
// sources are compiled optimised in every build type, and the tests check
// it). Runs keep their round keys in memory and wipe their whole depth.
void afterBlockOrKey(const Aes256Impl& impl) noexcept {
  if (impl.blockStackBytes != 0) wipeStack(impl.blockStackBytes);
  clearVectorRegisters();
}
void afterRun() noexcept {
  wipeStack(kRunStackBytes);
  clearVectorRegisters();
}

}  // namespace
}  // namespace detail

const char* aes256Implementation() noexcept { return detail::chosenAes256Impl().name; }

Aes256::Aes256(std::string_view keyText) : impl_(&detail::chosenAes256Impl()) { setKey(keyText); }

Aes256::Aes256(const Block32& key) noexcept : impl_(&detail::chosenAes256Impl()) { expandKey(key); }

void Aes256::setKey(std::string_view keyText) {
  if (keyText.size() < 32) throw std::invalid_argument(kShortKeyMessage);
  const Block32 key = Block32::fromText(keyText, 0);
  expandKey(key);
}

void Aes256::expandKey(const Block32& key) noexcept {
  encryptionKey_ = key;
  decryptionKey_.setFillLength(key.fillLength());  // as a copy of the key would carry it
  impl_->scheduleEnd(encryptionKey_.data(), decryptionKey_.data());
  detail::afterBlockOrKey(*impl_);
}

Block16& Aes256::encryptBlock(Block16& block) const noexcept {
  impl_->encrypt(encryptionKey_.data(), block.data());
  detail::afterBlockOrKey(*impl_);
  return block;
}

Block16& Aes256::decryptBlock(Block16& block) const noexcept {
  impl_->decrypt(decryptionKey_.data(), block.data());
  detail::afterBlockOrKey(*impl_);
  return block;
}

Block16 Aes256::encrypted(const Block16& block) const noexcept {
  Block16 copy(block);
  encryptBlock(copy);
  return copy;
}

Block16 Aes256::decrypted(const Block16& block) const noexcept {
  Block16 copy(block);
  decryptBlock(copy);
  return copy;
}

void Aes256::encryptBlocks(std::uint8_t* blocks, std::size_t count) const noexcept {
  detail::Aes256Internals::run(*this, detail::EcbEncrypt, nullptr, blocks, blocks, 16 * count);
}

namespace detail {

void Aes256Internals::run(const Aes256& aes, ModeRun mode, std::uint8_t* iv, const std::uint8_t* in,
                          std::uint8_t* out, std::size_t length) noexcept {
  if (length == 0) return;
  const Block32& key = runsFromScheduleEnd(mode) ? aes.decryptionKey_ : aes.encryptionKey_;
  aes.impl_->runs[static_cast<std::size_t>(mode)](key.data(), iv, in, out, length);
  afterRun();
}

void Aes256Internals::bind(Aes256& aes, const Aes256Impl& impl) noexcept {
  aes.impl_ = &impl;
  impl.scheduleEnd(aes.encryptionKey_.data(), aes.decryptionKey_.data());
  afterBlockOrKey(impl);
}

const Aes256Impl& Aes256Internals::implementation(const Aes256& aes) noexcept { return *aes.impl_; }

}  // namespace detail

}  // namespace unseal
