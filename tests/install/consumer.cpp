// A program outside the project that uses the installed library: a round
// trip through CipherEngine and a SHA-1 known answer. Exit status 0 when both
// hold.
#include <unseal/cipher_engine.h>
#include <unseal/sha1.h>

#include <cstdint>
#include <cstdio>
#include <string>

int main() {
  const std::string key(32, 'k');
  const std::string iv(16, 'i');
  const std::string plain = "installed and linked";
  unseal::CipherEngine sealer(key, unseal::CTR, unseal::PKCS7);
  sealer.setIv(iv);
  const std::string sealed = sealer.encryptText(plain, false);
  unseal::CipherEngine opener(key, unseal::CTR, unseal::PKCS7);
  opener.setIv(iv);
  const bool roundTrip = sealed != plain && opener.decryptText(sealed, false) == plain;

  // FIPS 180 example: SHA-1("abc").
  const std::uint8_t expected[20] = {0xa9, 0x99, 0x3e, 0x36, 0x47, 0x06, 0x81, 0x6a, 0xba, 0x3e,
                                     0x25, 0x71, 0x78, 0x50, 0xc2, 0x6c, 0x9c, 0xd0, 0xd8, 0x9d};
  std::uint8_t digest[20];
  unseal::Sha1 sha;
  sha.init();
  sha.update("abc", 3);
  sha.finish(digest);
  bool digestRight = true;
  for (int i = 0; i < 20; ++i) digestRight = digestRight && digest[i] == expected[i];

  std::printf("round trip %s, SHA-1 %s\n", roundTrip ? "ok" : "FAILED", digestRight ? "ok" : "FAILED");
  return roundTrip && digestRight ? 0 : 1;
}
