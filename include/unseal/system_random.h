// Unpredictable bytes from the operating system (getrandom), for IVs and
// keys. The library calls it only in CipherEngine::withSystemRandomIvs; see
// cipher_engine.h on why an application that encrypts needs one or the other.
#pragma once

#include <cstddef>
#include <span>
#include <string>

namespace unseal {

// Fills out from the kernel's random source. Throws std::system_error if the
// kernel refuses.
void systemRandomFill(std::span<std::byte> out);

// 16 bytes from the kernel's random source. Throws std::system_error if the
// kernel refuses.
std::string systemRandomBytes16();

}  // namespace unseal
