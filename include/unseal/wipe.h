// Erasing secrets.
//
// secureWipe(p, n) overwrites n bytes at p with zeros. It is the one primitive
// the library uses for every key, block and temporary that held key material,
// plaintext or cipher state.
//
// A plain memset on storage that is about to die is a dead store, and g++ and
// clang delete it at -O2. Here the memset is followed by an empty asm
// statement that takes p as an input and clobbers "memory": the compiler must
// assume the statement reads the n bytes at p, so the zeros have to be in
// memory when it runs and the stores cannot be removed. Unlike a call to
// explicit_bzero, this stays inline, so wiping a 16-byte block costs one or
// two vector stores: engines are built and wiped per 128-byte chunk, where a
// call per block was a tenth of the run time. The test suite disassembles
// optimised destructors to check the stores are there (tests/wipe_test.cpp).
#pragma once

#include <cstddef>
#include <cstring>

namespace unseal {

inline void secureWipe(void* p, std::size_t n) noexcept {
  std::memset(p, 0, n);
  asm volatile("" : : "r"(p) : "memory");
}

}  // namespace unseal
