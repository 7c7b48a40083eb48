// The byte-oriented AES-256 of FIPS-197: one S-box lookup per byte, no
// combined tables. A single block derives its round keys on the fly from a
// 32-byte working key; a run derives them once, into memory it wipes.
// It is the reference every other implementation is tested against; no CPU
// is given it, as it is not constant time (the S-box lookups are
// secret-indexed): CPUs without AES instructions get the vector-permute or
// the bitsliced code.
#include <cstring>

#include "cipher/aes256_impl.h"

#define UNSEAL_RUN_CODE
#include "cipher/aes256_runs.h"

namespace unseal::detail {
namespace {

// FIPS-197 figure 7 and figure 14.
constexpr std::uint8_t kSbox[256] = {
    0x63, 0x7c, 0x77, 0x7b, 0xf2, 0x6b, 0x6f, 0xc5, 0x30, 0x01, 0x67, 0x2b, 0xfe, 0xd7, 0xab, 0x76,
    0xca, 0x82, 0xc9, 0x7d, 0xfa, 0x59, 0x47, 0xf0, 0xad, 0xd4, 0xa2, 0xaf, 0x9c, 0xa4, 0x72, 0xc0,
    0xb7, 0xfd, 0x93, 0x26, 0x36, 0x3f, 0xf7, 0xcc, 0x34, 0xa5, 0xe5, 0xf1, 0x71, 0xd8, 0x31, 0x15,
    0x04, 0xc7, 0x23, 0xc3, 0x18, 0x96, 0x05, 0x9a, 0x07, 0x12, 0x80, 0xe2, 0xeb, 0x27, 0xb2, 0x75,
    0x09, 0x83, 0x2c, 0x1a, 0x1b, 0x6e, 0x5a, 0xa0, 0x52, 0x3b, 0xd6, 0xb3, 0x29, 0xe3, 0x2f, 0x84,
    0x53, 0xd1, 0x00, 0xed, 0x20, 0xfc, 0xb1, 0x5b, 0x6a, 0xcb, 0xbe, 0x39, 0x4a, 0x4c, 0x58, 0xcf,
    0xd0, 0xef, 0xaa, 0xfb, 0x43, 0x4d, 0x33, 0x85, 0x45, 0xf9, 0x02, 0x7f, 0x50, 0x3c, 0x9f, 0xa8,
    0x51, 0xa3, 0x40, 0x8f, 0x92, 0x9d, 0x38, 0xf5, 0xbc, 0xb6, 0xda, 0x21, 0x10, 0xff, 0xf3, 0xd2,
    0xcd, 0x0c, 0x13, 0xec, 0x5f, 0x97, 0x44, 0x17, 0xc4, 0xa7, 0x7e, 0x3d, 0x64, 0x5d, 0x19, 0x73,
    0x60, 0x81, 0x4f, 0xdc, 0x22, 0x2a, 0x90, 0x88, 0x46, 0xee, 0xb8, 0x14, 0xde, 0x5e, 0x0b, 0xdb,
    0xe0, 0x32, 0x3a, 0x0a, 0x49, 0x06, 0x24, 0x5c, 0xc2, 0xd3, 0xac, 0x62, 0x91, 0x95, 0xe4, 0x79,
    0xe7, 0xc8, 0x37, 0x6d, 0x8d, 0xd5, 0x4e, 0xa9, 0x6c, 0x56, 0xf4, 0xea, 0x65, 0x7a, 0xae, 0x08,
    0xba, 0x78, 0x25, 0x2e, 0x1c, 0xa6, 0xb4, 0xc6, 0xe8, 0xdd, 0x74, 0x1f, 0x4b, 0xbd, 0x8b, 0x8a,
    0x70, 0x3e, 0xb5, 0x66, 0x48, 0x03, 0xf6, 0x0e, 0x61, 0x35, 0x57, 0xb9, 0x86, 0xc1, 0x1d, 0x9e,
    0xe1, 0xf8, 0x98, 0x11, 0x69, 0xd9, 0x8e, 0x94, 0x9b, 0x1e, 0x87, 0xe9, 0xce, 0x55, 0x28, 0xdf,
    0x8c, 0xa1, 0x89, 0x0d, 0xbf, 0xe6, 0x42, 0x68, 0x41, 0x99, 0x2d, 0x0f, 0xb0, 0x54, 0xbb, 0x16,
};

constexpr std::uint8_t kInvSbox[256] = {
    0x52, 0x09, 0x6a, 0xd5, 0x30, 0x36, 0xa5, 0x38, 0xbf, 0x40, 0xa3, 0x9e, 0x81, 0xf3, 0xd7, 0xfb,
    0x7c, 0xe3, 0x39, 0x82, 0x9b, 0x2f, 0xff, 0x87, 0x34, 0x8e, 0x43, 0x44, 0xc4, 0xde, 0xe9, 0xcb,
    0x54, 0x7b, 0x94, 0x32, 0xa6, 0xc2, 0x23, 0x3d, 0xee, 0x4c, 0x95, 0x0b, 0x42, 0xfa, 0xc3, 0x4e,
    0x08, 0x2e, 0xa1, 0x66, 0x28, 0xd9, 0x24, 0xb2, 0x76, 0x5b, 0xa2, 0x49, 0x6d, 0x8b, 0xd1, 0x25,
    0x72, 0xf8, 0xf6, 0x64, 0x86, 0x68, 0x98, 0x16, 0xd4, 0xa4, 0x5c, 0xcc, 0x5d, 0x65, 0xb6, 0x92,
    0x6c, 0x70, 0x48, 0x50, 0xfd, 0xed, 0xb9, 0xda, 0x5e, 0x15, 0x46, 0x57, 0xa7, 0x8d, 0x9d, 0x84,
    0x90, 0xd8, 0xab, 0x00, 0x8c, 0xbc, 0xd3, 0x0a, 0xf7, 0xe4, 0x58, 0x05, 0xb8, 0xb3, 0x45, 0x06,
    0xd0, 0x2c, 0x1e, 0x8f, 0xca, 0x3f, 0x0f, 0x02, 0xc1, 0xaf, 0xbd, 0x03, 0x01, 0x13, 0x8a, 0x6b,
    0x3a, 0x91, 0x11, 0x41, 0x4f, 0x67, 0xdc, 0xea, 0x97, 0xf2, 0xcf, 0xce, 0xf0, 0xb4, 0xe6, 0x73,
    0x96, 0xac, 0x74, 0x22, 0xe7, 0xad, 0x35, 0x85, 0xe2, 0xf9, 0x37, 0xe8, 0x1c, 0x75, 0xdf, 0x6e,
    0x47, 0xf1, 0x1a, 0x71, 0x1d, 0x29, 0xc5, 0x89, 0x6f, 0xb7, 0x62, 0x0e, 0xaa, 0x18, 0xbe, 0x1b,
    0xfc, 0x56, 0x3e, 0x4b, 0xc6, 0xd2, 0x79, 0x20, 0x9a, 0xdb, 0xc0, 0xfe, 0x78, 0xcd, 0x5a, 0xf4,
    0x1f, 0xdd, 0xa8, 0x33, 0x88, 0x07, 0xc7, 0x31, 0xb1, 0x12, 0x10, 0x59, 0x27, 0x80, 0xec, 0x5f,
    0x60, 0x51, 0x7f, 0xa9, 0x19, 0xb5, 0x4a, 0x0d, 0x2d, 0xe5, 0x7a, 0x9f, 0x93, 0xc9, 0x9c, 0xef,
    0xa0, 0xe0, 0x3b, 0x4d, 0xae, 0x2a, 0xf5, 0xb0, 0xc8, 0xeb, 0xbb, 0x3c, 0x83, 0x53, 0x99, 0x61,
    0x17, 0x2b, 0x04, 0x7e, 0xba, 0x77, 0xd6, 0x26, 0xe1, 0x69, 0x14, 0x63, 0x55, 0x21, 0x0c, 0x7d,
};

// The forward round steps are inlined into both ciphers, the single block's
// and the run's: as calls they cost a third of the time. (Forcing the inverse
// steps inline as well made decryption slower; the compiler's choice stands.)
#define UNSEAL_ROUND_STEP __attribute__((always_inline)) inline

constexpr std::uint8_t xtime(std::uint8_t a) {
  return static_cast<std::uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1b : 0x00));
}

UNSEAL_ROUND_STEP void subBytes(std::uint8_t* s) {
  for (int i = 0; i < 16; ++i) s[i] = kSbox[s[i]];
}
void invSubBytes(std::uint8_t* s) {
  for (int i = 0; i < 16; ++i) s[i] = kInvSbox[s[i]];
}

// Row r rotates left by r; the state is stored column by column.
UNSEAL_ROUND_STEP void shiftRows(std::uint8_t* s) {
  std::uint8_t t = s[1];
  s[1] = s[5], s[5] = s[9], s[9] = s[13], s[13] = t;
  t = s[2], s[2] = s[10], s[10] = t;
  t = s[6], s[6] = s[14], s[14] = t;
  t = s[3];
  s[3] = s[15], s[15] = s[11], s[11] = s[7], s[7] = t;
}
void invShiftRows(std::uint8_t* s) {
  std::uint8_t t = s[13];
  s[13] = s[9], s[9] = s[5], s[5] = s[1], s[1] = t;
  t = s[2], s[2] = s[10], s[10] = t;
  t = s[6], s[6] = s[14], s[14] = t;
  t = s[7];
  s[7] = s[11], s[11] = s[15], s[15] = s[3], s[3] = t;
}

UNSEAL_ROUND_STEP void mixColumns(std::uint8_t* s) {
  for (int c = 0; c < 4; ++c) {
    std::uint8_t* a = s + 4 * c;
    const std::uint8_t a0 = a[0], a1 = a[1], a2 = a[2], a3 = a[3];
    const std::uint8_t e = a0 ^ a1 ^ a2 ^ a3;
    a[0] = static_cast<std::uint8_t>(a0 ^ e ^ xtime(a0 ^ a1));
    a[1] = static_cast<std::uint8_t>(a1 ^ e ^ xtime(a1 ^ a2));
    a[2] = static_cast<std::uint8_t>(a2 ^ e ^ xtime(a2 ^ a3));
    a[3] = static_cast<std::uint8_t>(a3 ^ e ^ xtime(a3 ^ a0));
  }
}
void invMixColumns(std::uint8_t* s) {
  for (int c = 0; c < 4; ++c) {
    std::uint8_t* a = s + 4 * c;
    const std::uint8_t a0 = a[0], a1 = a[1], a2 = a[2], a3 = a[3];
    const std::uint8_t e = a0 ^ a1 ^ a2 ^ a3;
    const std::uint8_t z = xtime(e);
    const std::uint8_t x =
        static_cast<std::uint8_t>(e ^ xtime(xtime(static_cast<std::uint8_t>(z ^ a0 ^ a2))));
    const std::uint8_t y =
        static_cast<std::uint8_t>(e ^ xtime(xtime(static_cast<std::uint8_t>(z ^ a1 ^ a3))));
    a[0] = static_cast<std::uint8_t>(a0 ^ x ^ xtime(a0 ^ a1));
    a[1] = static_cast<std::uint8_t>(a1 ^ y ^ xtime(a1 ^ a2));
    a[2] = static_cast<std::uint8_t>(a2 ^ x ^ xtime(a2 ^ a3));
    a[3] = static_cast<std::uint8_t>(a3 ^ y ^ xtime(a3 ^ a0));
  }
}

UNSEAL_ROUND_STEP void xor16(std::uint8_t* s, const std::uint8_t* roundKey) {
  for (int i = 0; i < 16; ++i) s[i] ^= roundKey[i];
}

// The round key is a temporary cut from the working key; it wipes itself as
// it goes out of scope.
void addRoundKey(std::uint8_t* state, const Block32& working, std::uint64_t half) {
  const Block16 roundKey = Block16::sliceOf(working, half);
  xor16(state, roundKey.data());
}

void portableEncrypt(const std::uint8_t* key, std::uint8_t* block) noexcept {
  Block32 w = Block32::fromBytes(key, 32);
  std::uint8_t rc = 1;
  addRoundKey(block, w, 0);
  for (int r = 1; r <= 13; ++r) {
    subBytes(block);
    shiftRows(block);
    mixColumns(block);
    if (r % 2 == 1) {
      addRoundKey(block, w, 16);
    } else {
      forwardKeyStep(w.data(), rc);
      addRoundKey(block, w, 0);
    }
  }
  subBytes(block);
  shiftRows(block);
  forwardKeyStep(w.data(), rc);
  addRoundKey(block, w, 0);
}

void portableDecrypt(const std::uint8_t* scheduleEnd, std::uint8_t* block) noexcept {
  Block32 w = Block32::fromBytes(scheduleEnd, 32);
  std::uint8_t rc = 0x80;
  addRoundKey(block, w, 0);
  invShiftRows(block);
  invSubBytes(block);
  for (int r = 1; r <= 13; ++r) {
    if (r % 2 == 1) {
      backwardKeyStep(w.data(), rc);
      addRoundKey(block, w, 16);
    } else {
      addRoundKey(block, w, 0);
    }
    invMixColumns(block);
    invShiftRows(block);
    invSubBytes(block);
  }
  addRoundKey(block, w, 0);
}

void portableScheduleEnd(const std::uint8_t* key, std::uint8_t* out) noexcept {
  std::memmove(out, key, 32);
  for (std::uint8_t rc = 1; rc != 0x80;) forwardKeyStep(out, rc);
}

// One block of a run, as bytes that wipe themselves.
struct Bytes16 {
  std::uint8_t b[16] = {};
  ~Bytes16() { secureWipe(b, sizeof b); }
  Bytes16() = default;
  Bytes16(const Bytes16&) = default;
  Bytes16& operator=(const Bytes16&) = default;
  friend Bytes16 operator^(Bytes16 x, const Bytes16& y) {
    xor16(x.b, y.b);
    return x;
  }
};

namespace portable {

// The 15 round keys of one run, as FIPS-197 numbers them, and the working
// key they are derived in; wiped when the run ends.
struct RoundKeys {
  std::uint8_t k[15][16];
  std::uint8_t w[32];
  ~RoundKeys() { secureWipe(this, sizeof *this); }
};

struct EncryptionKeys : RoundKeys {
  explicit EncryptionKeys(const std::uint8_t* key) {
    std::memcpy(w, key, 32);
    std::uint8_t rc = 1;
    for (int i = 0;; i += 2) {
      std::memcpy(k[i], w, 16);
      if (i == 14) break;
      std::memcpy(k[i + 1], w + 16, 16);
      forwardKeyStep(w, rc);
    }
  }
};

struct DecryptionKeys : RoundKeys {
  explicit DecryptionKeys(const std::uint8_t* scheduleEnd) {
    std::memcpy(w, scheduleEnd, 32);
    std::memcpy(k[14], w, 16);
    std::uint8_t rc = 0x80;
    for (int i = 12; i >= 0; i -= 2) {
      backwardKeyStep(w, rc);
      std::memcpy(k[i], w, 16);
      std::memcpy(k[i + 1], w + 16, 16);
    }
  }
};

}  // namespace portable

void encryptWith(const portable::RoundKeys& keys, std::uint8_t* s) {
  xor16(s, keys.k[0]);
  for (int r = 1; r <= 13; ++r) {
    subBytes(s);
    shiftRows(s);
    mixColumns(s);
    xor16(s, keys.k[r]);
  }
  subBytes(s);
  shiftRows(s);
  xor16(s, keys.k[14]);
}

void decryptWith(const portable::RoundKeys& keys, std::uint8_t* s) {
  xor16(s, keys.k[14]);
  invShiftRows(s);
  invSubBytes(s);
  for (int r = 13; r >= 1; --r) {
    xor16(s, keys.k[r]);
    invMixColumns(s);
    invShiftRows(s);
    invSubBytes(s);
  }
  xor16(s, keys.k[0]);
}

// The run core (see cipher/aes256_runs.h): one block at a time, the round
// keys derived once per run rather than once per block; every optional hook
// is the default.
struct PortableCore {
  using Block = Bytes16;
  using EncryptionKeys = portable::EncryptionKeys;
  using DecryptionKeys = portable::DecryptionKeys;

  static void load(const std::uint8_t* p, Bytes16& v) { std::memcpy(v.b, p, 16); }
  static void store(std::uint8_t* p, const Bytes16& v) { std::memcpy(p, v.b, 16); }
  template <std::size_t N>
  static void cipher(const EncryptionKeys& keys, Bytes16 (&s)[N]) {
    for (auto& x : s) encryptWith(keys, x.b);
  }
  template <std::size_t N>
  static void cipher(const DecryptionKeys& keys, Bytes16 (&s)[N]) {
    for (auto& x : s) decryptWith(keys, x.b);
  }
  template <class Kernel>
  static void inBatches(Kernel& kernel, std::size_t blocks) {
    for (; blocks > 0; --blocks) kernel.template batch<Bytes16, 1>();
  }
};

}  // namespace

void forwardKeyStep(std::uint8_t k[32], std::uint8_t& rc) noexcept {
  k[0] ^= static_cast<std::uint8_t>(kSbox[k[29]] ^ rc);
  k[1] ^= kSbox[k[30]];
  k[2] ^= kSbox[k[31]];
  k[3] ^= kSbox[k[28]];
  rc = static_cast<std::uint8_t>(rc << 1);
  for (int i = 4; i < 16; ++i) k[i] ^= k[i - 4];
  for (int i = 16; i < 20; ++i) k[i] ^= kSbox[k[i - 4]];
  for (int i = 20; i < 32; ++i) k[i] ^= k[i - 4];
}

void backwardKeyStep(std::uint8_t k[32], std::uint8_t& rc) noexcept {
  for (int i = 31; i >= 20; --i) k[i] ^= k[i - 4];
  for (int i = 19; i >= 16; --i) k[i] ^= kSbox[k[i - 4]];
  for (int i = 15; i >= 4; --i) k[i] ^= k[i - 4];
  rc = static_cast<std::uint8_t>(rc >> 1);
  k[0] ^= static_cast<std::uint8_t>(kSbox[k[29]] ^ rc);
  k[1] ^= kSbox[k[30]];
  k[2] ^= kSbox[k[31]];
  k[3] ^= kSbox[k[28]];
}

// The single-block functions spill cipher states (a known plaintext's XOR
// with round key 0 among them) about 256 bytes below their caller; the
// library wipes twice that after each.
constexpr std::size_t kBlockStackBytes = 512;

const Aes256Impl aes256Portable = {"portable",      AesInstructions::none, portableEncrypt,
                                   portableDecrypt, portableScheduleEnd,   ModeRuns<PortableCore>::table(),
                                   kBlockStackBytes};

}  // namespace unseal::detail
