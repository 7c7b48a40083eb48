#include "cipher/aes256.h"

#include <stdexcept>

#include "cipher/aes256_impl.h"

namespace unseal {
namespace detail {
namespace {

const Aes256Impl*& activeSlot() noexcept {
  static const Aes256Impl* slot = aes256HardwareAvailable() ? &aes256Hardware : &aes256Portable;
  return slot;
}

}  // namespace

const Aes256Impl& activeAes256Impl() noexcept { return *activeSlot(); }

const Aes256Impl& selectAes256Impl(const Aes256Impl& impl) noexcept {
  const Aes256Impl& previous = *activeSlot();
  activeSlot() = &impl;
  return previous;
}

}  // namespace detail

const char* aes256Implementation() noexcept { return detail::activeAes256Impl().name; }

namespace {
const detail::Aes256Impl& activeImpl() noexcept { return detail::activeAes256Impl(); }
}  // namespace

Aes256::Aes256(std::string_view keyText) { setKey(keyText); }

Aes256::Aes256(const Block32& key) noexcept { expandKey(key); }

void Aes256::setKey(std::string_view keyText) {
  if (keyText.size() < 32) throw std::invalid_argument(kShortKeyMessage);
  const Block32 key = Block32::fromText(keyText, 0);
  expandKey(key);
}

void Aes256::expandKey(const Block32& key) noexcept {
  encryptionKey_ = key;
  activeImpl().scheduleEnd(key, decryptionKey_);
}

Block16& Aes256::encryptBlock(Block16& block) const noexcept {
  activeImpl().encrypt(encryptionKey_, block);
  return block;
}

Block16& Aes256::decryptBlock(Block16& block) const noexcept {
  activeImpl().decrypt(decryptionKey_, block);
  return block;
}

void Aes256::encryptBlocks(std::uint8_t* blocks, std::size_t count) const noexcept {
  activeImpl().encryptMany(encryptionKey_, blocks, count);
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

}  // namespace unseal
