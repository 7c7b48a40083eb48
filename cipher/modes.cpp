// The block operations of the seven chaining modes. Each transforms one block
// in place with the engine's aes_ and keeps the chaining state in iv_; every
// copy it keeps is a local Block16 that wipes itself on return.
#include <cstring>

#include "cipher/cipher_engine.h"

namespace unseal {

Block16& CipherEngine::ecbEncrypt(Block16& block) noexcept { return aes_.encryptBlock(block); }

Block16& CipherEngine::ecbDecrypt(Block16& block) noexcept { return aes_.decryptBlock(block); }

Block16& CipherEngine::cbcEncrypt(Block16& block) noexcept {
  aes_.encryptBlock(block.xorWith(iv_));
  iv_.assign(block);
  return block;
}

Block16& CipherEngine::cbcDecrypt(Block16& block) noexcept {
  const Block16 cipherText(block);
  aes_.decryptBlock(block).xorWith(iv_);
  iv_.assign(cipherText);
  return block;
}

// Propagating CBC: the next block is chained through plaintext XOR ciphertext.
Block16& CipherEngine::pcbcEncrypt(Block16& block) noexcept {
  const Block16 plainText(block);
  aes_.encryptBlock(block.xorWith(iv_));
  iv_.assign(block.xored(plainText));
  return block;
}

Block16& CipherEngine::pcbcDecrypt(Block16& block) noexcept {
  const Block16 cipherText(block);
  aes_.decryptBlock(block).xorWith(iv_);
  iv_.assign(block.xored(cipherText));
  return block;
}

Block16& CipherEngine::cfbEncrypt(Block16& block) noexcept {
  block.xorWith(aes_.encryptBlock(iv_));
  iv_.assign(block);
  return block;
}

Block16& CipherEngine::cfbDecrypt(Block16& block) noexcept {
  const Block16 keystream = aes_.encrypted(iv_);
  iv_.assign(block);
  return block.xorWith(keystream);
}

// 8-bit feedback: one block encryption per byte, over the first fillLength
// bytes only, so a short final block transforms exactly its text bytes. iv_
// is a shift register of the latest ciphertext bytes, oldest first.
Block16& CipherEngine::cfb8Encrypt(Block16& block) noexcept {
  for (std::uint64_t i = 0; i < block.fillLength(); ++i) {
    const Block16 keystream = aes_.encrypted(iv_);
    block.byteAt(i) ^= keystream.byteAt(0);
    iv_.shiftLeft(8);
    iv_.byteAt(15) = block.byteAt(i);
  }
  return block;
}

Block16& CipherEngine::cfb8Decrypt(Block16& block) noexcept {
  Block16 shiftRegister(iv_);
  for (std::uint64_t i = 0; i < block.fillLength(); ++i) {
    const Block16 keystream = aes_.encrypted(shiftRegister);
    const std::uint8_t cipherByte = block.byteAt(i);
    shiftRegister.shiftLeft(8);
    shiftRegister.byteAt(15) = cipherByte;
    block.byteAt(i) = static_cast<std::uint8_t>(cipherByte ^ keystream.byteAt(0));
  }
  iv_.assign(shiftRegister);
  return block;
}

Block16& CipherEngine::ofbCrypt(Block16& block) noexcept { return block.xorWith(aes_.encryptBlock(iv_)); }

// The counter's byte 0 is its least significant byte.
Block16& CipherEngine::ctrCrypt(Block16& block) noexcept {
  Block16 keystream = iv_.postIncrement();
  return block.xorWith(aes_.encryptBlock(keystream));
}

void CipherEngine::eachDecrypt(std::uint8_t* blocks, std::size_t count) noexcept {
  for (std::size_t i = 0; i < count; ++i) {
    Block16 block = Block16::fromBytes(blocks + 16 * i, 16);
    (this->*decryptOp_)(block);
    std::memcpy(blocks + 16 * i, block.data(), 16);
  }
}

// CFB decryption: keystream block i is E(ciphertext block i-1), E(iv) for
// the first, all known in advance, so they are encrypted eight at a time.
// Same bytes and the same final iv_ as cfbDecrypt on each block.
void CipherEngine::cfbDecryptBlocks(std::uint8_t* blocks, std::size_t count) noexcept {
  constexpr std::size_t kBatch = 8;
  std::uint8_t keystream[16 * kBatch];
  for (std::size_t done = 0; done < count;) {
    const std::size_t k = count - done < kBatch ? count - done : kBatch;
    std::uint8_t* const batch = blocks + 16 * done;
    std::memcpy(keystream, iv_.data(), 16);
    std::memcpy(keystream + 16, batch, 16 * (k - 1));
    std::memcpy(iv_.data(), batch + 16 * (k - 1), 16);
    aes_.encryptBlocks(keystream, k);
    for (std::size_t i = 0; i < 16 * k; ++i) batch[i] ^= keystream[i];
    done += k;
  }
  secureWipe(keystream, sizeof keystream);
}

}  // namespace unseal
