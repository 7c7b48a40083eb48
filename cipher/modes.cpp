// The block operations of the seven chaining modes. Each transforms one block
// in place with the engine's aes_ and keeps the chaining state in iv_; every
// copy it keeps is a local Block16 that wipes itself on return.
#include "unseal/cipher_engine.h"

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

}  // namespace unseal
