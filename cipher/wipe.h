// Erasing secrets.
//
// secureWipe(p, n) overwrites n bytes at p with zeros. It is the one primitive
// the library uses for every key, block and temporary that held key material,
// plaintext or cipher state.
//
// A plain memset on storage that is about to die is a dead store, and g++ and
// clang delete it at -O2. explicit_bzero is an opaque call into the C library
// that the compilers do not model as a memset, so the store cannot be removed;
// the test suite disassembles an optimised destructor to check the call is there.
#pragma once

#include <cstddef>
#include <string.h>

namespace unseal {

inline void secureWipe(void* p, std::size_t n) noexcept { ::explicit_bzero(p, n); }

}  // namespace unseal
