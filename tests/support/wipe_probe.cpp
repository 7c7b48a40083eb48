// Functions whose only lasting effect on a secret is the wipe in a
// destructor. The build compiles this file at -O2; wipe_test disassembles it
// and checks the zeroing stores survived, i.e. the optimiser did not delete
// them as dead. The control function wipes with a plain memset, which the
// optimiser does delete: it shows the check can tell the two apart.
#include <cstring>
#include <string_view>

#include "unseal/aes256.h"
#include "unseal/block.h"
#include "unseal/cipher_engine.h"

extern "C" {

unsigned char unsealProbeBlock16(const unsigned char* secret) {
  const unseal::Block16 b = unseal::Block16::fromBytes(secret, 16);
  return b.byteAt(3);
}

unsigned char unsealProbeBlock32(const unsigned char* secret) {
  const unseal::Block32 b = unseal::Block32::fromBytes(secret, 32);
  return b.byteAt(7);
}

unsigned char unsealProbeAes256(const char* key) {
  const unseal::Aes256 aes(std::string_view(key, 32));
  return aes.encryptionKey().byteAt(0);
}

unsigned char unsealProbeCipherEngine(const char* key) {
  const unseal::CipherEngine engine(std::string_view(key, 32), unseal::CBC, unseal::PKCS7);
  return engine.modePads() ? 1 : 0;
}

unsigned char unsealProbeControl(const unsigned char* secret) {
  unsigned char copy[16];
  std::memcpy(copy, secret, sizeof copy);
  const unsigned char result = copy[3];
  std::memset(copy, 0, sizeof copy);
  return result;
}
}
