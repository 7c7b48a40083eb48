// Internal: the stream transforms block by block, in their literal form.
//
// Each call reads 16 bytes, passes them through the engine's block operation
// and writes them at once, holding one working block. These are the
// transforms the bulk ones (cipher/cipher_stream.cpp) must equal byte for
// byte, in the chaining state they leave and in the exception they raise, on
// any stream: the tests and the stream fuzz target compare the two.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>

#include "unseal/block.h"

namespace unseal {
class CipherEngine;
}

namespace unseal::detail {

// How many bytes the bulk transforms read, transform and write at a time.
inline constexpr std::size_t kStreamPieceBytes = 64 * 1024;

// The steps both kinds of transform take on the streams themselves.
namespace streams {
// Reads up to 16 bytes into the block and records how many arrived as its
// fill length. True when a whole block arrived.
bool readBlock(std::istream& in, Block16& block);
void writeBytes(std::ostream& out, const std::uint8_t* bytes, std::uint64_t count);
// Raises "Bad input or output stream" when either stream is bad.
void checkNotBad(const std::istream& in, const std::ostream& out);
// True at the real end of the input. peek also answers end-of-file when the
// read behind it failed, and then leaves the stream bad: that block is not
// the final one, and the read error is reported when the loop ends.
bool atEndOfInput(std::istream& in);
}  // namespace streams

struct StreamReference {
  static std::ostream& encrypt(CipherEngine& engine, std::istream& in, std::ostream& out, bool noPadding);
  static std::ostream& decrypt(CipherEngine& engine, std::istream& in, std::ostream& out, bool noPadding);
};

}  // namespace unseal::detail
