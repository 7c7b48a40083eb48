// Seals a short message under a fresh IV, then opens it with a second engine.
// Built and run by the tests; the README quotes this file whole.
#include <unseal/cipher_engine.h>
#include <unseal/system_random.h>

#include <cstdio>
#include <string>

int main() {
  const std::string key32 = unseal::systemRandomBytes16() + unseal::systemRandomBytes16();
  const std::string plain = "Meet at noon";  // any length, 0 included

  unseal::CipherEngine engine(key32, unseal::CBC, unseal::PKCS7);
  const std::string iv = unseal::systemRandomBytes16();  // unpredictable, per message
  engine.setIv(iv);
  const std::string sealed = iv + engine.encryptText(plain, false);  // the IV travels in front

  unseal::CipherEngine reader(key32, unseal::CBC, unseal::PKCS7);
  reader.setIv(sealed.substr(0, 16));
  const std::string opened = reader.decryptText(sealed.substr(16), false);

  std::printf("%zu bytes sealed into %zu, opened %s\n", plain.size(), sealed.size(),
              opened == plain ? "intact" : "changed");
  return opened == plain ? 0 : 1;
}
