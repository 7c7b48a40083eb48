// Erasing secrets.
//
// secureWipe(p, n) overwrites n bytes at p with zeros. It is the one primitive
// the library uses for every key, block and temporary that held key material,
// plaintext or cipher state.
//
// clearVectorRegisters() zeroes the vector registers code may have left
// secrets in: on x86-64 xmm0-15 whole (their ymm and zmm widths too), and
// zmm16-31 where the CPU and the operating system have AVX-512 (glibc's
// memcpy keeps copies there); xmm0-7 on 32-bit x86; on AArch64 v0-v7 and
// v16-v31 (the low halves of v8-v15 belong to the caller, and a function that
// used them restored them, which zeroes their high halves); on other CPUs
// nothing. Every library operation that held round keys, keystream
// or plaintext in vector registers calls it before it returns: registers are
// otherwise copied to memory nobody wipes (signal frames, the dynamic
// linker's symbol binding, a thread switch). It costs a few cycles.
// A RegistersClearedOnExit clears them when it goes, however its scope is left.
//
// A plain memset on storage that is about to die is a dead store, and g++ and
// clang delete it at -O2. Here the memset is followed by an empty asm
// statement that takes p as an input and clobbers "memory": the compiler must
// assume the statement reads the n bytes at p, so the zeros have to be in
// memory when it runs and the stores cannot be removed. Unlike a call to
// explicit_bzero, this stays inline, so wiping a 16-byte block costs one or
// two vector stores: engines are built and wiped per 128-byte chunk, where a
// call per block was a tenth of the run time. The test suite disassembles
// optimised destructors to check the stores are there, and scans the memory
// and the registers after whole runs for what they wiped (tests/wipe_test.cpp).
#pragma once

#include <cstddef>
#include <cstring>

namespace unseal {

inline void secureWipe(void* p, std::size_t n) noexcept {
  std::memset(p, 0, n);
  asm volatile("" : : "r"(p) : "memory");
}

void clearVectorRegisters() noexcept;

struct RegistersClearedOnExit {
  RegistersClearedOnExit() = default;
  RegistersClearedOnExit(const RegistersClearedOnExit&) = delete;
  RegistersClearedOnExit& operator=(const RegistersClearedOnExit&) = delete;
  ~RegistersClearedOnExit() { clearVectorRegisters(); }
};

}  // namespace unseal
