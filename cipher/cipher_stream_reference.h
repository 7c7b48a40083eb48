// Internal: the stream transforms block by block, in their literal form.
//
// Each call reads 16 bytes, passes them through the engine's block operation
// and writes them at once, holding one working block. These are the
// transforms the bulk ones (cipher/cipher_stream.cpp) must equal byte for
// byte, in the chaining state they leave and in the exception they raise, on
// any stream: the tests and the stream fuzz target compare the two.
#pragma once

#include <cstddef>
#include <iosfwd>

namespace unseal {
class CipherEngine;
}

namespace unseal::detail {

// How many bytes the bulk transforms read, transform and write at a time.
inline constexpr std::size_t kStreamPieceBytes = 64 * 1024;

struct StreamReference {
  static std::ostream& encrypt(CipherEngine& engine, std::istream& in, std::ostream& out, bool noPadding);
  static std::ostream& decrypt(CipherEngine& engine, std::istream& in, std::ostream& out, bool noPadding);
};

}  // namespace unseal::detail
