// AES-256 in constant time on any CPU: bitsliced, eight blocks at a time.
//
// No branch and no memory index depends on the key or the data, in the key
// schedule, the ciphers or the runs: the S-box is a boolean circuit, not a
// table. The eight blocks of a batch are held as eight 128-bit bit planes
// (Kasper and Schwabe, "Faster and Timing-Attack Resistant AES-GCM", CHES
// 2009): byte j of plane i holds bit i of byte j of each block, block b in
// bit b. Each plane is one vector (GCC/Clang vector extensions: SSE2 on
// x86-64, NEON on aarch64, 32-bit words where the target has no vectors), so
// one vector instruction does one gate for all 128 bytes of the batch.
//
// The S-box circuits are Boyar and Peralta's ("A depth-16 circuit for the AES
// S-box", 2011): the forward and the inverse S-box share their middle, the
// inversion in GF(2^8). Their NOT gates are left out: without them the forward
// circuit gives S(x) ^ 0x63 and the inverse one gives S^-1(x ^ 0x63), and
// 0x63 in every byte passes unchanged through ShiftRows, MixColumns and their
// inverses, so it is folded into round keys 1 to 14 instead (in both
// directions). In the planes, ShiftRows moves whole columns (32-bit lanes)
// under row masks, and MixColumns rotates the bytes of each column.
//
// A block the mode carries alone (single-block operations, the serial modes)
// takes a whole batch with one lane in use: that is the price of constant
// time. The key schedule runs SubWord through the same circuit on 32-bit
// words; forwardKeyStep and backwardKeyStep, which index a table, are not
// used.
#include <bit>
#include <cstring>

#include "cipher/aes256_impl.h"

#define UNSEAL_RUN_CODE
#include "cipher/aes256_runs.h"

#define UNSEAL_BITSLICED_INLINE __attribute__((always_inline)) inline

namespace unseal::detail {
namespace {
namespace bitsliced {

// One block (a run's lane), or one bit plane of a batch.
using Plane = std::uint32_t __attribute__((vector_size(16)));
using Bytes = std::uint8_t __attribute__((vector_size(16)));
using Halves = std::uint16_t __attribute__((vector_size(16)));
using Wide = std::uint64_t __attribute__((vector_size(16)));

constexpr std::size_t kLanes = 8;

UNSEAL_BITSLICED_INLINE Plane load(const std::uint8_t* p) {
  Plane v;
  std::memcpy(&v, p, 16);
  return v;
}
UNSEAL_BITSLICED_INLINE void store(std::uint8_t* p, const Plane& v) { std::memcpy(p, &v, 16); }

UNSEAL_BITSLICED_INLINE Plane everyByte(std::uint8_t b) { return (Plane)(Bytes{} + b); }

// ---------------------------------------------------------------------------
// The S-box circuits, on any word type: bit i of the input byte in x[i], the
// result in place. Gate names follow the paper (T top, M middle, L and P
// bottom; U0 is the most significant input bit).

// What the top layers hand the shared middle.
template <class W>
struct Top {
  W t1, t2, t3, t4, t6, t8, t9, t10, t13, t14, t15, t16, t17, t19, t20, t22, t23, t24, t25, t26, t27, d;
};

// The middle's products, which the bottom layers combine.
template <class W>
struct Middle {
  W m46, m47, m48, m49, m50, m51, m52, m53, m54, m55, m56, m57, m58, m59, m60, m61, m62, m63;
};

template <class W>
UNSEAL_BITSLICED_INLINE Top<W> forwardTop(const W (&x)[8]) {
  const W u0 = x[7], u1 = x[6], u2 = x[5], u3 = x[4], u4 = x[3], u5 = x[2], u6 = x[1], u7 = x[0];
  Top<W> t;
  t.t1 = u0 ^ u3;
  t.t2 = u0 ^ u5;
  t.t3 = u0 ^ u6;
  t.t4 = u3 ^ u5;
  const W t5 = u4 ^ u6;
  t.t6 = t.t1 ^ t5;
  const W t7 = u1 ^ u2;
  t.t8 = u7 ^ t.t6;
  t.t9 = u7 ^ t7;
  t.t10 = t.t6 ^ t7;
  const W t11 = u1 ^ u5, t12 = u2 ^ u5;
  t.t13 = t.t3 ^ t.t4;
  t.t14 = t.t6 ^ t11;
  t.t15 = t5 ^ t11;
  t.t16 = t5 ^ t12;
  t.t17 = t.t9 ^ t.t16;
  const W t18 = u3 ^ u7;
  t.t19 = t7 ^ t18;
  t.t20 = t.t1 ^ t.t19;
  const W t21 = u6 ^ u7;
  t.t22 = t7 ^ t21;
  t.t23 = t.t2 ^ t.t22;
  t.t24 = t.t2 ^ t.t10;
  t.t25 = t.t20 ^ t.t17;
  t.t26 = t.t3 ^ t.t16;
  t.t27 = t.t1 ^ t12;
  t.d = u7;
  return t;
}

// The inverse's top layer, its NOT gates left out (0x63 comes with the input).
template <class W>
UNSEAL_BITSLICED_INLINE Top<W> inverseTop(const W (&x)[8]) {
  const W u0 = x[7], u1 = x[6], u2 = x[5], u3 = x[4], u4 = x[3], u5 = x[2], u6 = x[1], u7 = x[0];
  const W r5 = u6 ^ u7, r13 = u1 ^ u6, r17 = u2 ^ u5, r18 = u5 ^ u6, r19 = u2 ^ u4;
  Top<W> t;
  t.t1 = u3 ^ u4;
  t.t2 = u0 ^ u1;
  t.t3 = t.t1 ^ r5;
  t.t23 = u0 ^ u3;
  t.t8 = u1 ^ t.t23;
  t.t4 = u4 ^ t.t8;
  t.t22 = u1 ^ u3;
  t.t6 = t.t22 ^ r17;
  t.t9 = u7 ^ t.t1;
  t.t24 = u4 ^ u7;
  t.t10 = t.t2 ^ t.t24;
  t.t13 = t.t2 ^ r5;
  t.t14 = t.t10 ^ r18;
  t.t27 = t.t1 ^ r18;
  t.t15 = t.t10 ^ t.t27;
  t.t16 = r13 ^ r19;
  t.t19 = t.t22 ^ r5;
  t.t17 = u2 ^ t.t19;
  t.t20 = t.t24 ^ r13;
  t.t25 = u2 ^ t.t1;
  t.t26 = t.t3 ^ t.t16;
  t.d = u0 ^ r17;
  return t;
}

// The inversion in GF(2^8), shared by both directions: 63 gates, 32 of them ANDs.
template <class W>
UNSEAL_BITSLICED_INLINE Middle<W> middle(const Top<W>& t) {
  const W m1 = t.t13 & t.t6, m2 = t.t23 & t.t8, m3 = t.t14 ^ m1, m4 = t.t19 & t.d, m5 = m4 ^ m1;
  const W m6 = t.t3 & t.t16, m7 = t.t22 & t.t9, m8 = t.t26 ^ m6, m9 = t.t20 & t.t17, m10 = m9 ^ m6;
  const W m11 = t.t1 & t.t15, m12 = t.t4 & t.t27, m13 = m12 ^ m11, m14 = t.t2 & t.t10, m15 = m14 ^ m11;
  const W m16 = m3 ^ m2, m17 = m5 ^ t.t24, m18 = m8 ^ m7, m19 = m10 ^ m15, m20 = m16 ^ m13;
  const W m21 = m17 ^ m15, m22 = m18 ^ m13, m23 = m19 ^ t.t25, m24 = m22 ^ m23, m25 = m22 & m20;
  const W m26 = m21 ^ m25, m27 = m20 ^ m21, m28 = m23 ^ m25, m29 = m28 & m27, m30 = m26 & m24;
  const W m31 = m20 & m23, m32 = m27 & m31, m33 = m27 ^ m25, m34 = m21 & m22, m35 = m24 & m34;
  const W m36 = m24 ^ m25, m37 = m21 ^ m29, m38 = m32 ^ m33, m39 = m23 ^ m30, m40 = m35 ^ m36;
  const W m41 = m38 ^ m40, m42 = m37 ^ m39, m43 = m37 ^ m38, m44 = m39 ^ m40, m45 = m42 ^ m41;
  Middle<W> m;
  m.m46 = m44 & t.t6;
  m.m47 = m40 & t.t8;
  m.m48 = m39 & t.d;
  m.m49 = m43 & t.t16;
  m.m50 = m38 & t.t9;
  m.m51 = m37 & t.t17;
  m.m52 = m42 & t.t15;
  m.m53 = m45 & t.t27;
  m.m54 = m41 & t.t10;
  m.m55 = m44 & t.t13;
  m.m56 = m40 & t.t23;
  m.m57 = m39 & t.t19;
  m.m58 = m43 & t.t3;
  m.m59 = m38 & t.t22;
  m.m60 = m37 & t.t20;
  m.m61 = m42 & t.t1;
  m.m62 = m45 & t.t4;
  m.m63 = m41 & t.t2;
  return m;
}

// The forward bottom layer, its NOT gates left out (0x63 stays on the output).
template <class W>
UNSEAL_BITSLICED_INLINE void forwardBottom(const Middle<W>& m, W (&y)[8]) {
  const W l0 = m.m61 ^ m.m62, l1 = m.m50 ^ m.m56, l2 = m.m46 ^ m.m48, l3 = m.m47 ^ m.m55;
  const W l4 = m.m54 ^ m.m58, l5 = m.m49 ^ m.m61, l6 = m.m62 ^ l5, l7 = m.m46 ^ l3;
  const W l8 = m.m51 ^ m.m59, l9 = m.m52 ^ m.m53, l10 = m.m53 ^ l4, l11 = m.m60 ^ l2;
  const W l12 = m.m48 ^ m.m51, l13 = m.m50 ^ l0, l14 = m.m52 ^ m.m61, l15 = m.m55 ^ l1;
  const W l16 = m.m56 ^ l0, l17 = m.m57 ^ l1, l18 = m.m58 ^ l8, l19 = m.m63 ^ l4;
  const W l20 = l0 ^ l1, l21 = l1 ^ l7, l22 = l3 ^ l12, l23 = l18 ^ l2, l24 = l15 ^ l9;
  const W l25 = l6 ^ l10, l26 = l7 ^ l9, l27 = l8 ^ l10, l28 = l11 ^ l14, l29 = l11 ^ l17;
  y[7] = l6 ^ l24;
  y[6] = l16 ^ l26;
  y[5] = l19 ^ l28;
  y[4] = l6 ^ l21;
  y[3] = l20 ^ l22;
  y[2] = l25 ^ l29;
  y[1] = l13 ^ l27;
  y[0] = l6 ^ l23;
}

template <class W>
UNSEAL_BITSLICED_INLINE void inverseBottom(const Middle<W>& m, W (&y)[8]) {
  const W p0 = m.m52 ^ m.m61, p1 = m.m58 ^ m.m59, p2 = m.m54 ^ m.m62, p3 = m.m47 ^ m.m50;
  const W p4 = m.m48 ^ m.m56, p5 = m.m46 ^ m.m51, p6 = m.m49 ^ m.m60, p7 = p0 ^ p1;
  const W p8 = m.m50 ^ m.m53, p9 = m.m55 ^ m.m63, p10 = m.m57 ^ p4, p11 = p0 ^ p3;
  const W p12 = m.m46 ^ m.m48, p13 = m.m49 ^ m.m51, p14 = m.m49 ^ m.m62, p15 = m.m54 ^ m.m59;
  const W p16 = m.m57 ^ m.m61, p17 = m.m58 ^ p2, p18 = m.m63 ^ p5, p19 = p2 ^ p3;
  const W p20 = p4 ^ p6, p22 = p2 ^ p7, p23 = p7 ^ p8, p24 = p5 ^ p7, p25 = p6 ^ p10;
  const W p26 = p9 ^ p11, p27 = p10 ^ p18, p28 = p11 ^ p25, p29 = p15 ^ p20;
  y[7] = p13 ^ p22;
  y[6] = p26 ^ p29;
  y[5] = p17 ^ p28;
  y[4] = p12 ^ p22;
  y[3] = p23 ^ p27;
  y[2] = p19 ^ p24;
  y[1] = p14 ^ p23;
  y[0] = p9 ^ p16;
}

// S(x) ^ 0x63 in every byte.
template <class W>
UNSEAL_BITSLICED_INLINE void subBytes(W (&x)[8]) {
  forwardBottom(middle(forwardTop(x)), x);
}

// S^-1(x ^ 0x63) in every byte.
template <class W>
UNSEAL_BITSLICED_INLINE void invSubBytes(W (&x)[8]) {
  inverseBottom(middle(inverseTop(x)), x);
}

// ---------------------------------------------------------------------------
// The linear layers on the planes. Byte j of a plane is byte j of the state:
// column j / 4 (a 32-bit lane, whatever the byte order), row j % 4.

// Lane c takes lane c + N: every row moves N columns to the left.
template <int N>
UNSEAL_BITSLICED_INLINE Plane rotateColumns(Plane x) {
  return __builtin_shufflevector(x, x, N % 4, (N + 1) % 4, (N + 2) % 4, (N + 3) % 4);
}

// The bytes of row r.
template <int R>
UNSEAL_BITSLICED_INLINE Plane row() {
  constexpr std::uint8_t a = R == 0 ? 0xff : 0, b = R == 1 ? 0xff : 0, c = R == 2 ? 0xff : 0,
                         d = R == 3 ? 0xff : 0;
  return (Plane)(Bytes{a, b, c, d, a, b, c, d, a, b, c, d, a, b, c, d});
}

// Row r rotates left by r columns.
UNSEAL_BITSLICED_INLINE Plane shiftRows(Plane x) {
  return (x & row<0>()) | (rotateColumns<1>(x) & row<1>()) | (rotateColumns<2>(x) & row<2>()) |
         (rotateColumns<3>(x) & row<3>());
}

UNSEAL_BITSLICED_INLINE Plane invShiftRows(Plane x) {
  return (x & row<0>()) | (rotateColumns<3>(x) & row<1>()) | (rotateColumns<2>(x) & row<2>()) |
         (rotateColumns<1>(x) & row<3>());
}

// Row r of every column takes row r + N's byte.
template <int N>
UNSEAL_BITSLICED_INLINE Plane rotateRows(Plane x) {
  if constexpr (N == 2) {
    return (Plane)__builtin_shufflevector((Halves)x, (Halves)x, 1, 0, 3, 2, 5, 4, 7, 6);
  } else if constexpr (std::endian::native == std::endian::little) {
    return (x >> (8 * N)) | (x << (32 - 8 * N));
  } else {
    return (x << (8 * N)) | (x >> (32 - 8 * N));
  }
}

// Column (a0..a3) -> 2a_r ^ 3a_{r+1} ^ a_{r+2} ^ a_{r+3}, written as
// 2t ^ a_{r+1} ^ rotate2(t) with t = a_r ^ a_{r+1}; 2t shifts the planes up
// by one and folds plane 7 back in as 0x1b.
UNSEAL_BITSLICED_INLINE void mixColumns(Plane (&s)[8]) {
  Plane next[8], t[8];
  for (std::size_t i = 0; i < 8; ++i) {
    next[i] = rotateRows<1>(s[i]);
    t[i] = s[i] ^ next[i];
  }
  s[0] = t[7] ^ next[0] ^ rotateRows<2>(t[0]);
  s[1] = t[0] ^ t[7] ^ next[1] ^ rotateRows<2>(t[1]);
  s[2] = t[1] ^ next[2] ^ rotateRows<2>(t[2]);
  s[3] = t[2] ^ t[7] ^ next[3] ^ rotateRows<2>(t[3]);
  s[4] = t[3] ^ t[7] ^ next[4] ^ rotateRows<2>(t[4]);
  s[5] = t[4] ^ next[5] ^ rotateRows<2>(t[5]);
  s[6] = t[5] ^ next[6] ^ rotateRows<2>(t[6]);
  s[7] = t[6] ^ next[7] ^ rotateRows<2>(t[7]);
}

// InvMixColumns is MixColumns after multiplying each column by 4x^2 + 5:
// a_r ^ 4(a_r ^ a_{r+2}).
UNSEAL_BITSLICED_INLINE void invMixColumns(Plane (&s)[8]) {
  Plane v[8];
  for (std::size_t i = 0; i < 8; ++i) v[i] = s[i] ^ rotateRows<2>(s[i]);
  const Plane v67 = v[6] ^ v[7];
  s[0] ^= v[6];
  s[1] ^= v67;
  s[2] ^= v[0] ^ v[7];
  s[3] ^= v[1] ^ v[6];
  s[4] ^= v[2] ^ v67;
  s[5] ^= v[3] ^ v[7];
  s[6] ^= v[4];
  s[7] ^= v[5];
  mixColumns(s);
}

UNSEAL_BITSLICED_INLINE void addRoundKey(Plane (&s)[8], const Plane (&k)[8]) {
  for (std::size_t i = 0; i < 8; ++i) s[i] ^= k[i];
}

// Swaps the bits of a under mask << Shift with the bits of b under mask.
template <int Shift>
UNSEAL_BITSLICED_INLINE void swapBits(Plane& a, Plane& b, Plane mask) {
  const Plane t = ((a >> Shift) ^ b) & mask;
  b ^= t;
  a ^= t << Shift;
}

// Eight blocks <-> eight planes: in every byte position, the 8x8 bit matrix
// (block, bit) is transposed, in three rounds of block swaps. Its own inverse.
UNSEAL_BITSLICED_INLINE void transpose(Plane (&x)[8]) {
  const Plane m1 = everyByte(0x55), m2 = everyByte(0x33), m4 = everyByte(0x0f);
  for (std::size_t i = 0; i < 8; i += 2) swapBits<1>(x[i], x[i + 1], m1);
  for (std::size_t i : {0u, 1u, 4u, 5u}) swapBits<2>(x[i], x[i + 2], m2);
  for (std::size_t i = 0; i < 4; ++i) swapBits<4>(x[i], x[i + 4], m4);
}

// ---------------------------------------------------------------------------
// The key schedule, on 32-bit words (word i of the 32-byte key is bytes
// 4i..4i+3, the first one least significant), SubWord through the circuit.

UNSEAL_BITSLICED_INLINE std::uint32_t loadWord(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0] | p[1] << 8 | p[2] << 16 | p[3] << 24);
}
UNSEAL_BITSLICED_INLINE void storeWord(std::uint8_t* p, std::uint32_t w) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(w >> 8 * i);
}

// Each byte of w through the S-box: bit i of the four bytes in x[i], at bit
// positions 0, 8, 16 and 24 (the gates leave the other bits zero).
UNSEAL_BITSLICED_INLINE std::uint32_t subWord(std::uint32_t w) {
  std::uint32_t x[8];
  for (int i = 0; i < 8; ++i) x[i] = w >> i & 0x01010101u;
  subBytes(x);
  std::uint32_t s = 0x63636363u;
  for (int i = 0; i < 8; ++i) s ^= x[i] << i;
  return s;
}

// The eight words of one schedule step, wiped when they go.
struct KeyWords {
  std::uint32_t w[8];
  UNSEAL_BITSLICED_INLINE explicit KeyWords(const std::uint8_t* key) {
    for (int i = 0; i < 8; ++i) w[i] = loadWord(key + 4 * i);
  }
  UNSEAL_BITSLICED_INLINE ~KeyWords() { secureWipe(w, sizeof w); }
  KeyWords(const KeyWords&) = delete;
  KeyWords& operator=(const KeyWords&) = delete;

  // Words 8j..8j+7 -> 8j+8..8j+15 (rc: the round constant of that step).
  UNSEAL_BITSLICED_INLINE void forward(std::uint32_t rc) {
    w[0] ^= subWord(std::rotr(w[7], 8)) ^ rc;
    for (int i = 1; i < 4; ++i) w[i] ^= w[i - 1];
    w[4] ^= subWord(w[3]);
    for (int i = 5; i < 8; ++i) w[i] ^= w[i - 1];
  }
  // Its inverse.
  UNSEAL_BITSLICED_INLINE void backward(std::uint32_t rc) {
    for (int i = 7; i > 4; --i) w[i] ^= w[i - 1];
    w[4] ^= subWord(w[3]);
    for (int i = 3; i > 0; --i) w[i] ^= w[i - 1];
    w[0] ^= subWord(std::rotr(w[7], 8)) ^ rc;
  }
};

// The 15 round keys as planes, FIPS-197's numbering (k[0] is whitened in
// first when encrypting, last when decrypting): every bit spread over its
// byte, 0x63 folded into keys 1 to 14. first is round key 0 as bytes, for
// whitening; kept off the planes' path.
struct RoundKeys {
  Plane k[15][8];
  Plane first;
  UNSEAL_BITSLICED_INLINE ~RoundKeys() { secureWipe(this, sizeof *this); }

 protected:
  RoundKeys() = default;
  RoundKeys(const RoundKeys&) = delete;
  RoundKeys& operator=(const RoundKeys&) = delete;

  // Round key r from the four words at w, put together in registers: a
  // copy in memory would outlive the schedule.
  UNSEAL_BITSLICED_INLINE void set(int r, const std::uint32_t* w) {
    Plane words = {w[0], w[1], w[2], w[3]};
    if constexpr (std::endian::native == std::endian::big) {
      for (int i = 0; i < 4; ++i) words[i] = __builtin_bswap32(words[i]);
    }
    Bytes key = (Bytes)words;
    if (r == 0) {
      first = (Plane)key;
    } else {
      key ^= 0x63;
    }
    for (int i = 0; i < 8; ++i) {
      const auto bit = static_cast<std::uint8_t>(1 << i);
      k[r][i] = (Plane)((key & bit) == bit);  // 0xff where the bit is set
    }
  }
};

struct EncryptionKeys : RoundKeys {
  UNSEAL_BITSLICED_INLINE explicit EncryptionKeys(const std::uint8_t* key) {
    KeyWords words(key);
    std::uint32_t rc = 1;
    for (int r = 0;; r += 2) {
      set(r, words.w);
      if (r == 14) break;
      set(r + 1, words.w + 4);
      words.forward(rc);
      rc <<= 1;
    }
  }
};

struct DecryptionKeys : RoundKeys {
  UNSEAL_BITSLICED_INLINE explicit DecryptionKeys(const std::uint8_t* scheduleEnd) {
    KeyWords words(scheduleEnd);
    set(14, words.w);
    std::uint32_t rc = 0x40;
    for (int r = 12; r >= 0; r -= 2) {
      words.backward(rc);
      rc >>= 1;
      set(r, words.w);
      set(r + 1, words.w + 4);
    }
  }
};

// A batch of blocks, or of planes; wiped when it goes.
struct Batch {
  Plane p[kLanes] = {};
  UNSEAL_BITSLICED_INLINE ~Batch() { secureWipe(p, sizeof p); }
};

// Eight blocks in place through the cipher. Out of line: every batch size of
// every mode calls the same code. The state is copied to locals, which the
// compiler keeps in registers.
__attribute__((noinline)) void encryptEight(const RoundKeys& keys, Plane (&blocks)[kLanes]) {
  Plane s[8];
  for (std::size_t i = 0; i < 8; ++i) s[i] = blocks[i];
  transpose(s);
  addRoundKey(s, keys.k[0]);
  for (int r = 1; r < 14; ++r) {
    subBytes(s);
    for (Plane& x : s) x = shiftRows(x);
    mixColumns(s);
    addRoundKey(s, keys.k[r]);
  }
  subBytes(s);
  for (Plane& x : s) x = shiftRows(x);
  addRoundKey(s, keys.k[14]);
  transpose(s);
  for (std::size_t i = 0; i < 8; ++i) blocks[i] = s[i];
}

__attribute__((noinline)) void decryptEight(const RoundKeys& keys, Plane (&blocks)[kLanes]) {
  Plane s[8];
  for (std::size_t i = 0; i < 8; ++i) s[i] = blocks[i];
  transpose(s);
  addRoundKey(s, keys.k[14]);
  for (int r = 13; r > 0; --r) {
    for (Plane& x : s) x = invShiftRows(x);
    invSubBytes(s);
    addRoundKey(s, keys.k[r]);
    invMixColumns(s);
  }
  for (Plane& x : s) x = invShiftRows(x);
  invSubBytes(s);
  addRoundKey(s, keys.k[0]);
  transpose(s);
  for (std::size_t i = 0; i < 8; ++i) blocks[i] = s[i];
}

// N blocks (at most eight) through the cipher, the unused lanes zero.
template <std::size_t N>
UNSEAL_BITSLICED_INLINE void encryptBlocks(const EncryptionKeys& keys, Plane (&blocks)[N]) {
  static_assert(N <= kLanes);
  if constexpr (N == kLanes) {
    encryptEight(keys, blocks);
  } else {
    Batch batch;
    for (std::size_t i = 0; i < N; ++i) batch.p[i] = blocks[i];
    encryptEight(keys, batch.p);
    for (std::size_t i = 0; i < N; ++i) blocks[i] = batch.p[i];
  }
}

template <std::size_t N>
UNSEAL_BITSLICED_INLINE void decryptBlocks(const DecryptionKeys& keys, Plane (&blocks)[N]) {
  static_assert(N <= kLanes);
  if constexpr (N == kLanes) {
    decryptEight(keys, blocks);
  } else {
    Batch batch;
    for (std::size_t i = 0; i < N; ++i) batch.p[i] = blocks[i];
    decryptEight(keys, batch.p);
    for (std::size_t i = 0; i < N; ++i) blocks[i] = batch.p[i];
  }
}

// The run core (see cipher/aes256_runs.h): one block per lane, up to eight
// lanes per batch, which is one pass through the bitsliced cipher.
struct Core {
  using Block = Plane;
  using EncryptionKeys = bitsliced::EncryptionKeys;
  using DecryptionKeys = bitsliced::DecryptionKeys;

  static void load(const std::uint8_t* p, Plane& v) { v = bitsliced::load(p); }
  static void store(std::uint8_t* p, const Plane& v) { bitsliced::store(p, v); }

  template <std::size_t N>
  static void cipher(const EncryptionKeys& keys, Plane (&s)[N]) {
    encryptBlocks(keys, s);
  }
  template <std::size_t N>
  static void cipher(const DecryptionKeys& keys, Plane (&s)[N]) {
    decryptBlocks(keys, s);
  }
  static Plane encrypt(const EncryptionKeys& keys, Plane block) {
    Plane s[1] = {block};
    encryptBlocks(keys, s);
    return s[0];
  }
  static Plane whiten(const EncryptionKeys& keys, Plane block) { return block ^ keys.first; }
  static Plane finish(const EncryptionKeys& keys, Plane state, Plane mask) {
    return encrypt(keys, state ^ keys.first) ^ mask;
  }

  // Whole batches of eight, then what is left in one batch of its own.
  template <class Kernel>
  static void inBatches(Kernel& kernel, std::size_t blocks) {
    for (; blocks >= kLanes; blocks -= kLanes) kernel.template batch<Plane, kLanes>();
    switch (blocks) {
      case 7: kernel.template batch<Plane, 7>(); break;
      case 6: kernel.template batch<Plane, 6>(); break;
      case 5: kernel.template batch<Plane, 5>(); break;
      case 4: kernel.template batch<Plane, 4>(); break;
      case 3: kernel.template batch<Plane, 3>(); break;
      case 2: kernel.template batch<Plane, 2>(); break;
      case 1: kernel.template batch<Plane, 1>(); break;
      default: break;
    }
  }

  static Plane preceding(const Plane& previous, const Plane&) { return previous; }
  static Plane lastBlock(const Plane& v) { return v; }
  static void endingWith(const Plane& block, Plane& v) { v = block; }
  template <class Counter>
  static void counters(Counter& counter, Plane& v) {
    if constexpr (std::endian::native == std::endian::little) {
      v = (Plane)(Wide{counter.low, counter.high});
    } else {
      Batch bytes;  // wiped
      counter.store(reinterpret_cast<std::uint8_t*>(bytes.p));
      v = bytes.p[0];
    }
    counter.step();
  }
  static Plane pcbcUnchain(const Plane& d, const Plane& c, Plane& chain) {
    const Plane p = d ^ chain;
    chain = p ^ c;
    return p;
  }
  static void loadWindows(const std::uint8_t* p, Plane& v) { v = bitsliced::load(p); }
  static void firstBytes(const Plane& v, std::uint8_t* out) { out[0] = firstByte(v); }
  static std::uint8_t firstByte(const Plane& v) { return ((Bytes)v)[0]; }
  // Bytes 1..15 move to 0..14 and the new byte comes in at 15.
  static Plane shiftIn(const Plane& v, std::uint8_t byte) {
    const Bytes in = Bytes{} + byte;
    return (Plane)__builtin_shufflevector((Bytes)v, in, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15,
                                          16);
  }
};

}  // namespace bitsliced

void bitslicedEncrypt(const std::uint8_t* key, std::uint8_t* block) noexcept {
  const bitsliced::EncryptionKeys keys(key);
  bitsliced::Batch batch;
  batch.p[0] = bitsliced::load(block);
  bitsliced::encryptEight(keys, batch.p);
  bitsliced::store(block, batch.p[0]);
}

void bitslicedDecrypt(const std::uint8_t* scheduleEnd, std::uint8_t* block) noexcept {
  const bitsliced::DecryptionKeys keys(scheduleEnd);
  bitsliced::Batch batch;
  batch.p[0] = bitsliced::load(block);
  bitsliced::decryptEight(keys, batch.p);
  bitsliced::store(block, batch.p[0]);
}

// key and out may be the same bytes: the words are read before any is stored.
void bitslicedScheduleEnd(const std::uint8_t* key, std::uint8_t* out) noexcept {
  bitsliced::KeyWords words(key);
  for (std::uint32_t rc = 1; rc != 0x80; rc <<= 1) words.forward(rc);
  for (int i = 0; i < 8; ++i) bitsliced::storeWord(out + 4 * i, words.w[i]);
}

bool bitslicedSupported() noexcept { return true; }

}  // namespace

const Aes256Impl aes256Bitsliced = {"bitsliced",          bitslicedSupported,
                                    bitslicedEncrypt,     bitslicedDecrypt,
                                    bitslicedScheduleEnd, ModeRuns<bitsliced::Core>::table()};

}  // namespace unseal::detail
