// The body of an encrypted file (app/file_format.h), decrypted chunk by chunk.
//
// decryptChunks reads `in` from where it stands to end of file in chunks of
// 128 bytes, a short last chunk filled up with zero bytes, and writes each
// chunk's 128 decrypted bytes to `out`. Every chunk is decrypted on its own by
// a fresh CipherEngine: AES-256 in CFB mode under `key` (32 bytes), from the
// chunk IV. A body whose length is a multiple of 128 (none at
// all included) is followed by one more chunk decrypted from zero bytes.
// Memory stays bounded by one chunk, and the plaintext buffer is wiped.
//
// Stops at the first failure: ReadFailed when the input reports an error
// other than end of file, WriteFailed when the output stream has failed.
// Library exceptions (exhausted memory) pass through.
#pragma once

#include <iosfwd>
#include <string_view>

namespace unseal {

enum class ChunkLoopResult { Done, ReadFailed, WriteFailed };

ChunkLoopResult decryptChunks(std::istream& in, std::ostream& out, std::string_view key);

}  // namespace unseal
