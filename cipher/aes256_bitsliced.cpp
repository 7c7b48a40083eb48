// AES-256 in constant time on any CPU: bitsliced, eight blocks at a time
// (the core, and why it runs in constant time: cipher/aes256_bitsliced.h).
#include "cipher/aes256_impl.h"

// Exempt from AddressSanitizer, as the x86 code is (cipher/aes256_x86.h): its
// instrumentation takes registers, and the compiler then spills key schedule
// words to the stack, where no destructor reaches them. The sanitized build
// runs the same code as the others.
#define UNSEAL_RUN_CODE __attribute__((no_sanitize("address")))
#include "cipher/aes256_bitsliced.h"

namespace unseal::detail {
namespace {

// The single-block functions hold their round keys (1920 bytes) and batch in
// their own frames, wiped by their destructors, and the batch ciphers below
// them spill state planes (under 400 bytes on x86-64) where no destructor
// reaches: the library wipes this much below their caller after each call.
constexpr std::size_t kBlockStackBytes = 3072;

UNSEAL_BITSLICED_CODE void bitslicedEncrypt(const std::uint8_t* key, std::uint8_t* block) noexcept {
  const bitsliced::EncryptionKeys keys(key);
  bitsliced::Batch batch;
  batch.p[0] = bitsliced::load(block);
  bitsliced::encryptEight(keys, batch.p);
  bitsliced::store(block, batch.p[0]);
}

UNSEAL_BITSLICED_CODE void bitslicedDecrypt(const std::uint8_t* scheduleEnd, std::uint8_t* block) noexcept {
  const bitsliced::DecryptionKeys keys(scheduleEnd);
  bitsliced::Batch batch;
  batch.p[0] = bitsliced::load(block);
  bitsliced::decryptEight(keys, batch.p);
  bitsliced::store(block, batch.p[0]);
}

// key and out may be the same bytes: the words are read before any is stored.
UNSEAL_BITSLICED_CODE void bitslicedScheduleEnd(const std::uint8_t* key, std::uint8_t* out) noexcept {
  bitsliced::KeyWords words(key);
  for (std::uint32_t rc = 1; rc != 0x80; rc <<= 1) words.forward(rc);
  for (int i = 0; i < 8; ++i) bitsliced::storeWord(out + 4 * i, words.w[i]);
}

}  // namespace

const Aes256Impl aes256Bitsliced = {"bitsliced",          AesInstructions::none,
                                    bitslicedEncrypt,     bitslicedDecrypt,
                                    bitslicedScheduleEnd, ModeRuns<bitsliced::Core>::table(),
                                    kBlockStackBytes};

}  // namespace unseal::detail
