// The body of an encrypted file (app/file_format.h), decrypted chunk by chunk.
//
// decryptChunks reads descriptor `in` from where it stands to end of file in
// chunks of 128 bytes, a short last chunk filled up with zero bytes, and
// writes each chunk's 128 decrypted bytes to descriptor `out`. A body whose
// length is a multiple of 128 (none at all included) is followed by one more
// chunk decrypted from zero bytes. The bytes are those of a fresh CipherEngine
// per chunk, AES-256 in CFB mode under `key` (32 bytes) from the chunk IV,
// computed in bulk with the key installed once (app/chunk_cipher.h).
// Reads and writes go through two fixed buffers of kChunkLoopBufferSize
// bytes (1 MiB, whole chunks): a writer thread (app/buffer_writer.h) writes
// one while the next is read and decrypted, so memory stays bounded. The
// buffers are wiped, and the vector registers cleared, before returning.
// The second form names the AES-256 implementation to run (tests run each);
// the first uses the process's choice.
//
// Stops at the first failure: ReadFailed when reading `in` fails, WriteFailed
// when writing `out` fails (also when a read fails after it), errno saying
// why; what was written by then is incomplete. Library exceptions (exhausted memory) pass
// through. Not reentrant: the buffers are shared by all calls.
#pragma once

#include <cstddef>
#include <string_view>

#include "unseal/aes256.h"

namespace unseal {

inline constexpr std::size_t kChunkLoopBufferSize = std::size_t{1} << 20;

enum class ChunkLoopResult { Done, ReadFailed, WriteFailed };

ChunkLoopResult decryptChunks(int in, int out, std::string_view key);
ChunkLoopResult decryptChunks(int in, int out, std::string_view key, const detail::Aes256Impl& impl);

}  // namespace unseal
