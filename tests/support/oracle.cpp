#include "support/oracle.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <memory>
#include <stdexcept>

namespace unseal::test {

std::string opensslSha1(std::string_view message) {
  unsigned char digest[SHA_DIGEST_LENGTH];
  unsigned int length = 0;
  if (EVP_Digest(message.data(), message.size(), digest, &length, EVP_sha1(), nullptr) != 1) {
    throw std::runtime_error("EVP_Digest failed");
  }
  return std::string(reinterpret_cast<char*>(digest), length);
}

std::string opensslCipher(const char* name, std::string_view key, std::string_view iv, std::string_view data,
                          bool encrypt) {
  const EVP_CIPHER* cipher = EVP_get_cipherbyname(name);
  if (cipher == nullptr || key.size() != 32) throw std::runtime_error("bad oracle request");
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                      EVP_CIPHER_CTX_free);
  const auto* k = reinterpret_cast<const unsigned char*>(key.data());
  const auto* v = iv.empty() ? nullptr : reinterpret_cast<const unsigned char*>(iv.data());
  if (EVP_CipherInit_ex(ctx.get(), cipher, nullptr, k, v, encrypt ? 1 : 0) != 1) {
    throw std::runtime_error("EVP_CipherInit_ex failed");
  }
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  std::string out(data.size() + 32, '\0');
  int n1 = 0, n2 = 0;
  auto* o = reinterpret_cast<unsigned char*>(out.data());
  if (EVP_CipherUpdate(ctx.get(), o, &n1, reinterpret_cast<const unsigned char*>(data.data()),
                       static_cast<int>(data.size())) != 1 ||
      EVP_CipherFinal_ex(ctx.get(), o + n1, &n2) != 1) {
    throw std::runtime_error("EVP cipher failed");
  }
  out.resize(static_cast<std::size_t>(n1 + n2));
  return out;
}

namespace {

// a XOR the first a.size() bytes of b.
std::string xorBytes(std::string_view a, std::string_view b) {
  std::string out(a);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<char>(out[i] ^ b[i]);
  return out;
}

}  // namespace

std::string referenceModeCipher(int mode, std::string_view key, std::string_view iv, std::string_view data,
                                bool encrypt) {
  static const char* const names[] = {"aes-256-ecb",  "aes-256-cbc", nullptr, "aes-256-cfb",
                                      "aes-256-cfb8", "aes-256-ofb", nullptr};
  if (mode < 0 || mode > 6) throw std::runtime_error("bad oracle mode");
  if (mode == 2) {
    std::string chain(iv.substr(0, 16)), out;
    for (std::size_t i = 0; i < data.size(); i += 16) {
      const std::string_view in = data.substr(i, 16);
      const std::string result = encrypt ? opensslCipher("aes-256-ecb", key, "", xorBytes(in, chain), true)
                                         : xorBytes(opensslCipher("aes-256-ecb", key, "", in, false), chain);
      chain = xorBytes(in, result);
      out += result;
    }
    return out;
  }
  if (mode == 6) {
    std::string counter(iv.substr(0, 16)), counters;
    for (std::size_t i = 0; i < data.size(); i += 16) {
      counters += counter;
      for (char& c : counter) {
        c = static_cast<char>(static_cast<unsigned char>(c) + 1);
        if (c != 0) break;
      }
    }
    return xorBytes(data, opensslCipher("aes-256-ecb", key, "", counters, true));
  }
  return opensslCipher(names[mode], key, mode == 0 ? "" : iv.substr(0, 16), data, encrypt);
}

}  // namespace unseal::test
