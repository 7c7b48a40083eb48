// Seals a message in the caller's buffer, in place, and opens it there again:
// the library allocates nothing, the caller sizes the buffer.
// Built and run by the tests; docs/library.md quotes this file whole.
#include <unseal/cipher_engine.h>
#include <unseal/system_random.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <vector>

int main() {
  const std::string key32 = unseal::systemRandomBytes16() + unseal::systemRandomBytes16();
  const std::string iv = unseal::systemRandomBytes16();  // unpredictable, per message
  const std::string plain = "Meet at noon, bring the ledger";

  unseal::CipherEngine engine(key32, unseal::CBC, unseal::PKCS7);
  std::vector<std::uint8_t> buffer(engine.encryptedLength(plain.size(), false));  // room for the padding
  std::memcpy(buffer.data(), plain.data(), plain.size());
  engine.setIv(iv);
  const std::size_t sealed = engine.encryptInto(std::span(buffer).first(plain.size()), buffer, false);

  unseal::CipherEngine reader(key32, unseal::CBC, unseal::PKCS7);
  reader.setIv(iv);
  const std::size_t opened = reader.decryptInto(std::span(buffer).first(sealed), buffer, false);

  const bool intact = opened == plain.size() && std::memcmp(buffer.data(), plain.data(), opened) == 0;
  std::printf("%zu bytes sealed into %zu in place, opened %s\n", plain.size(), sealed,
              intact ? "intact" : "changed");
  return intact ? 0 : 1;
}
