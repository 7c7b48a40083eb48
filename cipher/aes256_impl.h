// Internal: one AES-256 implementation, as the Aes256 object calls it.
//
// encrypt takes the installed key (round keys 0 and 1) and derives the rest
// forwards; decrypt takes the schedule's end (round key 14 and the next four
// words) and derives backwards; scheduleEnd runs the seven forward key-schedule
// steps; encryptMany encrypts count contiguous 16-byte blocks in place, as
// count calls of encrypt would, deriving the round keys once for several
// blocks at a time. Each wipes whatever key material it put in memory.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cipher/block.h"

namespace unseal::detail {

struct Aes256Impl {
  const char* name;
  void (*encrypt)(const Block32& key, Block16& block) noexcept;
  void (*decrypt)(const Block32& scheduleEnd, Block16& block) noexcept;
  void (*scheduleEnd)(const Block32& key, Block32& out) noexcept;
  void (*encryptMany)(const Block32& key, std::uint8_t* blocks, std::size_t count) noexcept;
};

// The byte-oriented reference, valid on every CPU.
extern const Aes256Impl aes256Portable;
// The AES-NI implementation; call only when aes256HardwareAvailable().
extern const Aes256Impl aes256Hardware;
bool aes256HardwareAvailable() noexcept;

// The implementation every Aes256 uses, chosen once per process from the
// CPU's feature bits. Tests swap it to run both paths in one process;
// selectAes256Impl returns the previous choice.
const Aes256Impl& activeAes256Impl() noexcept;
const Aes256Impl& selectAes256Impl(const Aes256Impl& impl) noexcept;

// The forward and backward key-schedule steps of AES-256 on a 32-byte key;
// each turns 8 schedule words into the next (previous) 8.
void forwardKeyStep(std::uint8_t k[32], std::uint8_t& rc) noexcept;
void backwardKeyStep(std::uint8_t k[32], std::uint8_t& rc) noexcept;

}  // namespace unseal::detail
