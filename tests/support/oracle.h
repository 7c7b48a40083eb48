// OpenSSL's libcrypto as an independent oracle. Tests only: the library and
// the command never link it.
#pragma once

#include <string>
#include <string_view>

namespace unseal::test {

std::string opensslSha1(std::string_view message);

// Raw AES-256 in the named EVP mode ("aes-256-ecb", "aes-256-cbc",
// "aes-256-cfb", "aes-256-cfb8", "aes-256-ofb", "aes-256-ctr") with padding
// off; iv is ignored for ECB. key must be 32 bytes, data a block multiple for
// ECB and CBC.
std::string opensslCipher(const char* name, std::string_view key, std::string_view iv, std::string_view data,
                          bool encrypt);

// The library's seven chaining modes by number (0 ECB, 1 CBC, 2 PCBC, 3 CFB,
// 4 CFB8, 5 OFB, 6 CTR), built on OpenSSL: PCBC chains the XOR of the previous
// plaintext and ciphertext blocks, and CTR counts with byte 0 of the counter
// block least significant; both are made from OpenSSL's ECB. No padding is
// added: data must be a block multiple for modes 0..2; the other modes take
// any length. iv is ignored for ECB.
std::string referenceModeCipher(int mode, std::string_view key, std::string_view iv, std::string_view data,
                                bool encrypt);

}  // namespace unseal::test
