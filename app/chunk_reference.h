// The file format's chunk decryption in its literal form, kept as the
// reference the command's fast path (app/chunk_cipher.h) is checked against.
//
// decryptChunksReference(key, cipher, plain, count) decrypts `count` whole
// 128-byte chunks from `cipher` to `plain`, each with a CipherEngine of its
// own: built from `key` (32 bytes) in CFB mode with padding Zeros, setIv with
// the chunk IV, decryptText of the chunk with noPadding, then destroyed. Each
// chunk's result is wiped once copied. Library exceptions (exhausted memory)
// pass through. Slow by design: an engine and a result string per chunk.
#pragma once

#include <cstddef>
#include <string_view>

namespace unseal {

void decryptChunksReference(std::string_view key, const char* cipher, char* plain, std::size_t count);

}  // namespace unseal
