// Unpredictable bytes from the operating system (getrandom), for IVs and
// engine seeds. Nothing in the library calls this by default; see
// cipher_engine.h on why an application that encrypts needs it.
#pragma once

#include <string>

namespace unseal {

// 16 bytes from the kernel's random source. Throws std::system_error if the
// kernel refuses.
std::string systemRandomBytes16();

}  // namespace unseal
