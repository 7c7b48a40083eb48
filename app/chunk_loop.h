// The body of an encrypted file (app/file_format.h), decrypted chunk by chunk.
//
// decryptChunks reads descriptor `in` from where it stands to end of file in
// chunks of 128 bytes, a short last chunk filled up with zero bytes, and
// writes each chunk's 128 decrypted bytes to descriptor `out`. Every chunk is
// decrypted on its own by a fresh CipherEngine: AES-256 in CFB mode under
// `key` (32 bytes), from the chunk IV. A body whose length is a multiple of
// 128 (none at all included) is followed by one more chunk decrypted from
// zero bytes. Reads and writes go through fixed buffers of 256 KiB, so
// memory stays bounded; the plaintext buffer is wiped before returning.
//
// Stops at the first failure: ReadFailed when reading `in` fails, WriteFailed
// when writing `out` fails; what was written by then is incomplete. Library
// exceptions (exhausted memory) pass through. Not reentrant: the buffers are
// shared by all calls.
#pragma once

#include <string_view>

namespace unseal {

enum class ChunkLoopResult { Done, ReadFailed, WriteFailed };

ChunkLoopResult decryptChunks(int in, int out, std::string_view key);

}  // namespace unseal
