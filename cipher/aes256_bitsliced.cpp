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
// The S-box circuits are Boyar and Peralta's smallest: 113 gates forward ("A
// new combinational logic minimization technique with applications to
// cryptology", SEA 2010) and 121 for the inverse (from the same circuit
// minimization work). Their NOT gates are left out: without them the forward
// circuit gives S(x) ^ 0x63 and the inverse one S^-1(x ^ 0x63), and 0x63 in
// every byte passes unchanged through ShiftRows, MixColumns and their
// inverses, so it is folded into round keys 1 to 14 instead (in both
// directions). In the planes, MixColumns rotates the bytes within each
// column (a 32-bit lane); ShiftRows, which would move lanes under row masks,
// is left out of the rounds altogether (fixslicing, see below) and made once
// at the end.
//
// A block the mode carries alone (single-block operations, the serial modes)
// takes a whole batch with one lane in use, at an eighth of the speed: CPUs
// with byte shuffles (SSSE3, NEON) run those on aes256_vperm.cpp, which takes
// only the runs whose blocks go side by side from here. The key schedule runs SubWord through the same
// circuit on 32-bit words; forwardKeyStep and backwardKeyStep, which index a table, are not used.
#include <bit>
#include <cstring>

#include "cipher/aes256_impl.h"

// Where the target has no vector registers (i686 without SSE), g++ warns that
// passing vectors by value differs from the ABI's; these functions, the runs'
// included, have internal linkage, so no other code sees that ABI.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

// Exempt from AddressSanitizer, as the x86 code is (cipher/aes256_x86.h): its
// instrumentation takes registers, and the compiler then spills key schedule
// words to the stack, where no destructor reaches them. The sanitized build
// runs the same code as the others.
#define UNSEAL_BITSLICED_CODE __attribute__((no_sanitize("address")))
#define UNSEAL_RUN_CODE UNSEAL_BITSLICED_CODE
#include "cipher/aes256_runs.h"

#define UNSEAL_BITSLICED_INLINE UNSEAL_BITSLICED_CODE __attribute__((always_inline)) inline

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
// The S-box circuits, on any word type: bit i of each input byte in x[i], the
// result in place. Gate names follow the published lists; u0 is the most
// significant input bit, s0 the most significant output bit.

// S(x) ^ 0x63 in every byte: 113 gates, 32 of them ANDs.
template <class W>
UNSEAL_BITSLICED_INLINE void subBytes(W (&x)[8]) {
  const W u0 = x[7], u1 = x[6], u2 = x[5], u3 = x[4], u4 = x[3], u5 = x[2], u6 = x[1], u7 = x[0];
  // The top linear layer.
  const W y14 = u3 ^ u5, y13 = u0 ^ u6, y9 = u0 ^ u3, y8 = u0 ^ u5, t0 = u1 ^ u2, y1 = t0 ^ u7;
  const W y4 = y1 ^ u3, y12 = y13 ^ y14, y2 = y1 ^ u0, y5 = y1 ^ u6, y3 = y5 ^ y8, t1 = u4 ^ y12;
  const W y15 = t1 ^ u5, y20 = t1 ^ u1, y6 = y15 ^ u7, y10 = y15 ^ t0, y11 = y20 ^ y9, y7 = u7 ^ y11;
  const W y17 = y10 ^ y11, y19 = y10 ^ y8, y16 = t0 ^ y11, y21 = y13 ^ y16, y18 = u0 ^ y16;
  // The inversion in GF(2^8).
  const W t2 = y12 & y15, t3 = y3 & y6, t4 = t3 ^ t2, t5 = y4 & u7, t6 = t5 ^ t2, t7 = y13 & y16;
  const W t8 = y5 & y1, t9 = t8 ^ t7, t10 = y2 & y7, t11 = t10 ^ t7, t12 = y9 & y11, t13 = y14 & y17;
  const W t14 = t13 ^ t12, t15 = y8 & y10, t16 = t15 ^ t12, t17 = t4 ^ y20, t18 = t6 ^ t16;
  const W t19 = t9 ^ t14, t20 = t11 ^ t16, t21 = t17 ^ t14, t22 = t18 ^ y19, t23 = t19 ^ y21;
  const W t24 = t20 ^ y18, t25 = t21 ^ t22, t26 = t21 & t23, t27 = t24 ^ t26, t28 = t25 & t27;
  const W t29 = t28 ^ t22, t30 = t23 ^ t24, t31 = t22 ^ t26, t32 = t31 & t30, t33 = t32 ^ t24;
  const W t34 = t23 ^ t33, t35 = t27 ^ t33, t36 = t24 & t35, t37 = t36 ^ t34, t38 = t27 ^ t36;
  const W t39 = t29 & t38, t40 = t25 ^ t39, t41 = t40 ^ t37, t42 = t29 ^ t33, t43 = t29 ^ t40;
  const W t44 = t33 ^ t37, t45 = t42 ^ t41;
  const W z0 = t44 & y15, z1 = t37 & y6, z2 = t33 & u7, z3 = t43 & y16, z4 = t40 & y1, z5 = t29 & y7;
  const W z6 = t42 & y11, z7 = t45 & y17, z8 = t41 & y10, z9 = t44 & y12, z10 = t37 & y3, z11 = t33 & y4;
  const W z12 = t43 & y13, z13 = t40 & y5, z14 = t29 & y2, z15 = t42 & y9, z16 = t45 & y14, z17 = t41 & y8;
  // The bottom linear layer.
  const W c1 = z15 ^ z16, c2 = z10 ^ c1, c3 = z9 ^ c2, c4 = z0 ^ z2, c5 = z1 ^ z0, c6 = z3 ^ z4;
  const W c7 = z12 ^ c4, c8 = z7 ^ c6, c9 = z8 ^ c7, c10 = c8 ^ c9, c11 = c6 ^ c5, c12 = z3 ^ z5;
  const W c13 = z13 ^ c1, c14 = c4 ^ c12, s3 = c3 ^ c11, c16 = z6 ^ c8, c17 = z14 ^ c10, c18 = c13 ^ c14;
  const W c20 = z15 ^ c16, c21 = c2 ^ z11, c26 = c17 ^ c20, s1 = s3 ^ c16;
  x[7] = c3 ^ c16;
  x[6] = s1;
  x[5] = c26 ^ z17;
  x[4] = s3;
  x[3] = c14 ^ s3;
  x[2] = c21 ^ c17;
  x[1] = c10 ^ c18;
  x[0] = z12 ^ c18;
}

// S^-1(x ^ 0x63) in every byte: 121 gates, 34 of them ANDs.
template <class W>
UNSEAL_BITSLICED_INLINE void invSubBytes(W (&x)[8]) {
  const W u0 = x[7], u1 = x[6], u2 = x[5], u3 = x[4], u4 = x[3], u5 = x[2], u6 = x[1], u7 = x[0];
  // The top linear layer.
  const W y0 = u0 ^ u3, y2 = u1 ^ u3, y4 = u0 ^ y2, rtl0 = u6 ^ u7, y1 = y2 ^ rtl0, y7 = u2 ^ y1;
  const W rtl1 = u3 ^ u4, y6 = u7 ^ rtl1, y3 = y1 ^ rtl1, rtl2 = u0 ^ u2, y5 = u5 ^ rtl2;
  // The inversion, in a tower of fields.
  const W sa1 = y0 ^ y2, sa0 = y1 ^ y3, sb1 = y4 ^ y6, sb0 = y5 ^ y7, ah = y0 ^ y1, al = y2 ^ y3;
  const W aa = sa0 ^ sa1, bh = y4 ^ y5, bl = y6 ^ y7, bb = sb0 ^ sb1, ab20 = sa0 ^ sb0, ab22 = al ^ bl;
  const W ab23 = y3 ^ y7, ab21 = sa1 ^ sb1, abcd1 = ah & bh, rr1 = y0 & y4, ph11 = ab20 ^ abcd1;
  const W t01 = y1 & y5, ph01 = t01 ^ abcd1, abcd2 = al & bl, r1 = y2 & y6, pl11 = ab22 ^ abcd2;
  const W r2 = y3 & y7, pl01 = r2 ^ abcd2, r3 = sa0 & sb0, vr1 = aa & bb, pr1 = vr1 ^ r3, wr1 = sa1 & sb1;
  const W qr1 = wr1 ^ r3, ab0 = ph11 ^ rr1, ab1 = ph01 ^ ab21, ab2 = pl11 ^ r1, ab3 = pl01 ^ qr1;
  const W cp1 = ab0 ^ pr1, cp2 = ab1 ^ qr1, cp3 = ab2 ^ pr1, cp4 = ab3 ^ ab23;
  const W i1 = cp3 ^ cp4, i2 = cp3 & cp1, i3 = cp2 ^ i2, i4 = cp1 ^ cp2, i5 = cp4 ^ i2, i6 = i5 & i4;
  const W i7 = i3 & i1, d2 = cp4 ^ i7, d0 = cp2 ^ i6, i8 = cp1 & cp4, i9 = i4 & i8, i10 = i4 ^ i2;
  const W d1 = i9 ^ i10, i11 = cp2 & cp3, i12 = i1 & i11, i13 = i1 ^ i2, d3 = i12 ^ i13;
  const W sd1 = d1 ^ d3, sd0 = d0 ^ d2, dl = d0 ^ d1, dh = d2 ^ d3, dd = sd0 ^ sd1;
  const W abcd3 = dh & bh, rr2 = d3 & y4, t02 = d2 & y5, abcd4 = dl & bl, r4 = d1 & y6, r5 = d0 & y7;
  const W r6 = sd0 & sb0, vr2 = dd & bb, wr2 = sd1 & sb1, abcd5 = dh & ah, r7 = d3 & y0, r8 = d2 & y1;
  const W abcd6 = dl & al, r9 = d1 & y2, r10 = d0 & y3, r11 = sd0 & sa0, vr3 = dd & aa, wr3 = sd1 & sa1;
  const W ph12 = rr2 ^ abcd3, ph02 = t02 ^ abcd3, pl12 = r4 ^ abcd4, pl02 = r5 ^ abcd4, pr2 = vr2 ^ r6;
  const W qr2 = wr2 ^ r6, p0 = ph12 ^ pr2, p1 = ph02 ^ qr2, p2 = pl12 ^ pr2, p3 = pl02 ^ qr2;
  const W ph13 = r7 ^ abcd5, ph03 = r8 ^ abcd5, pl13 = r9 ^ abcd6, pl03 = r10 ^ abcd6, pr3 = vr3 ^ r11;
  const W qr3 = wr3 ^ r11, p4 = ph13 ^ pr3, p6 = pl13 ^ pr3, p7 = pl03 ^ qr3;
  // The bottom linear layer.
  const W s7 = ph03 ^ qr3, s3 = p1 ^ p6, s0 = p3 ^ p6, x11 = p0 ^ p2, s5 = s0 ^ x11, x13 = p4 ^ p7;
  const W x14 = x11 ^ x13, x16 = p1 ^ s7, x18 = p0 ^ p4, x19 = s5 ^ x16;
  x[7] = s0;
  x[6] = s3 ^ x14;
  x[5] = x14 ^ x16;
  x[4] = s3;
  x[3] = x18 ^ x19;
  x[2] = s5;
  x[1] = p2 ^ p6;
  x[0] = s7;
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

// Takes the rows under mask from y, the others from x.
UNSEAL_BITSLICED_INLINE Plane blend(Plane x, Plane y, Plane mask) { return x ^ ((x ^ y) & mask); }

// Row r rotates left by Times * r columns (ShiftRows for Times = 1): when
// Times is odd, rows 1 and 3 by Times, then rows 2 and 3 by two; when even,
// rows 1 and 3 by two.
template <int Times>
UNSEAL_BITSLICED_INLINE Plane shiftRows(Plane x) {
  constexpr int n = (Times % 4 + 4) % 4;
  if constexpr (n % 2 == 1) {
    x = blend(x, rotateColumns<n>(x), row<1>() | row<3>());
    x = blend(x, rotateColumns<2>(x), row<2>() | row<3>());
  } else if constexpr (n == 2) {
    x = blend(x, rotateColumns<2>(x), row<1>() | row<3>());
  }
  return x;
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

// The rounds skip ShiftRows ("fixslicing": Adomnicai and Peyrin, "Fixslicing
// AES-like ciphers", TCHES 2021). With Skipped of them left out so far, row r
// of the state's column c sits in lane c + Skipped * r; the round keys are
// stored in that arrangement, and the one ShiftRows still owed is made after
// the last round. A column's byte N rows down is then also Skipped * N lanes
// over.
template <int N, int Skipped>
UNSEAL_BITSLICED_INLINE Plane down(Plane x) {
  constexpr int lanes = (Skipped * N % 4 + 4) % 4;
  if constexpr (lanes == 0) {
    return rotateRows<N>(x);
  } else {
    return rotateRows<N>(rotateColumns<lanes>(x));
  }
}

// Column (a0..a3) -> 2a_r ^ 3a_{r+1} ^ a_{r+2} ^ a_{r+3}, written as
// 2t ^ a_{r+1} ^ down2(t) with t = a_r ^ a_{r+1}; 2t shifts the planes up
// by one and folds plane 7 back in as 0x1b.
template <int Skipped>
UNSEAL_BITSLICED_INLINE void mixColumns(Plane (&s)[8]) {
  Plane next[8], t[8];
  for (std::size_t i = 0; i < 8; ++i) {
    next[i] = down<1, Skipped>(s[i]);
    t[i] = s[i] ^ next[i];
  }
  s[0] = t[7] ^ next[0] ^ down<2, Skipped>(t[0]);
  s[1] = t[0] ^ t[7] ^ next[1] ^ down<2, Skipped>(t[1]);
  s[2] = t[1] ^ next[2] ^ down<2, Skipped>(t[2]);
  s[3] = t[2] ^ t[7] ^ next[3] ^ down<2, Skipped>(t[3]);
  s[4] = t[3] ^ t[7] ^ next[4] ^ down<2, Skipped>(t[4]);
  s[5] = t[4] ^ next[5] ^ down<2, Skipped>(t[5]);
  s[6] = t[5] ^ next[6] ^ down<2, Skipped>(t[6]);
  s[7] = t[6] ^ next[7] ^ down<2, Skipped>(t[7]);
}

// InvMixColumns is MixColumns after multiplying each column by 4x^2 + 5:
// a_r ^ 4(a_r ^ a_{r+2}).
template <int Skipped>
UNSEAL_BITSLICED_INLINE void invMixColumns(Plane (&s)[8]) {
  Plane v[8];
  for (std::size_t i = 0; i < 8; ++i) v[i] = s[i] ^ down<2, Skipped>(s[i]);
  const Plane v67 = v[6] ^ v[7];
  s[0] ^= v[6];
  s[1] ^= v67;
  s[2] ^= v[0] ^ v[7];
  s[3] ^= v[1] ^ v[6];
  s[4] ^= v[2] ^ v67;
  s[5] ^= v[3] ^ v[7];
  s[6] ^= v[4];
  s[7] ^= v[5];
  mixColumns<Skipped>(s);
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
// byte, 0x63 folded into keys 1 to 14.
struct RoundKeys {
  Plane k[15][8];
  UNSEAL_BITSLICED_INLINE ~RoundKeys() { secureWipe(this, sizeof *this); }

 protected:
  RoundKeys() = default;
  RoundKeys(const RoundKeys&) = delete;
  RoundKeys& operator=(const RoundKeys&) = delete;

  // Round key r from the four words at w, put together in registers (a
  // copy in memory would outlive the schedule), in the arrangement of a state
  // whose ShiftRows were skipped `skipped` times.
  UNSEAL_BITSLICED_INLINE void set(int r, const std::uint32_t* w, int skipped) {
    Plane words = {w[0], w[1], w[2], w[3]};
    if constexpr (std::endian::native == std::endian::big) {
      for (int i = 0; i < 4; ++i) words[i] = __builtin_bswap32(words[i]);
    }
    Bytes key = (Bytes)words;
    if (r != 0) key ^= 0x63;
    for (int i = 0; i < 8; ++i) {
      const auto bit = static_cast<std::uint8_t>(1 << i);
      const Plane plane = (Plane)((key & bit) == bit);  // 0xff where the bit is set
      k[r][i] = skipped == 0   ? plane
                : skipped == 1 ? shiftRows<-1>(plane)
                : skipped == 2 ? shiftRows<-2>(plane)
                               : shiftRows<-3>(plane);
    }
  }
};

struct EncryptionKeys : RoundKeys {
  UNSEAL_BITSLICED_INLINE explicit EncryptionKeys(const std::uint8_t* key) {
    KeyWords words(key);
    std::uint32_t rc = 1;
    for (int r = 0;; r += 2) {
      set(r, words.w, r % 4);
      if (r == 14) break;
      set(r + 1, words.w + 4, (r + 1) % 4);
      words.forward(rc);
      rc <<= 1;
    }
  }
};

// Decryption reaches round key r with 14 - r InvShiftRows left out, which
// arranges the state as r - 14, that is r + 2, ShiftRows would (mod 4).
struct DecryptionKeys : RoundKeys {
  UNSEAL_BITSLICED_INLINE explicit DecryptionKeys(const std::uint8_t* scheduleEnd) {
    KeyWords words(scheduleEnd);
    set(14, words.w, 0);
    std::uint32_t rc = 0x40;
    for (int r = 12; r >= 0; r -= 2) {
      words.backward(rc);
      rc >>= 1;
      set(r, words.w, (r + 2) % 4);
      set(r + 1, words.w + 4, (r + 3) % 4);
    }
  }
};

// A batch of blocks, or of planes; wiped when it goes.
struct Batch {
  Plane p[kLanes] = {};
  UNSEAL_BITSLICED_INLINE ~Batch() { secureWipe(p, sizeof p); }
};

// One round: the S-box, MixColumns with the ShiftRows skipped so far, the
// round key.
template <int Skipped>
UNSEAL_BITSLICED_INLINE void encryptRound(Plane (&s)[8], const Plane (&key)[8]) {
  subBytes(s);
  mixColumns<Skipped>(s);
  addRoundKey(s, key);
}

// An inverse round, InvShiftRows skipped. Each one left out counts as a
// ShiftRows taken back: Skipped is minus their number.
template <int Skipped>
UNSEAL_BITSLICED_INLINE void decryptRound(Plane (&s)[8], const Plane (&key)[8]) {
  invSubBytes(s);
  addRoundKey(s, key);
  invMixColumns<Skipped>(s);
}

// Eight blocks in place through the cipher. Out of line: every batch size of
// every mode calls the same code. The state is copied to locals, which the
// compiler keeps in registers. Round r has skipped r ShiftRows, and the
// round keys are arranged to match (RoundKeys::set).
UNSEAL_BITSLICED_CODE __attribute__((noinline)) void encryptEight(const RoundKeys& keys,
                                                                  Plane (&blocks)[kLanes]) {
  Plane s[8];
  for (std::size_t i = 0; i < 8; ++i) s[i] = blocks[i];
  transpose(s);
  addRoundKey(s, keys.k[0]);
  for (int r = 1; r < 13; r += 4) {
    encryptRound<1>(s, keys.k[r]);
    encryptRound<2>(s, keys.k[r + 1]);
    encryptRound<3>(s, keys.k[r + 2]);
    encryptRound<0>(s, keys.k[r + 3]);
  }
  encryptRound<1>(s, keys.k[13]);
  subBytes(s);
  addRoundKey(s, keys.k[14]);
  for (Plane& x : s) x = shiftRows<14>(x);
  transpose(s);
  for (std::size_t i = 0; i < 8; ++i) blocks[i] = s[i];
}

// Round r (13 down to 1) has skipped 14 - r InvShiftRows.
UNSEAL_BITSLICED_CODE __attribute__((noinline)) void decryptEight(const RoundKeys& keys,
                                                                  Plane (&blocks)[kLanes]) {
  Plane s[8];
  for (std::size_t i = 0; i < 8; ++i) s[i] = blocks[i];
  transpose(s);
  addRoundKey(s, keys.k[14]);
  for (int r = 13; r > 1; r -= 4) {
    decryptRound<-1>(s, keys.k[r]);
    decryptRound<-2>(s, keys.k[r - 1]);
    decryptRound<-3>(s, keys.k[r - 2]);
    decryptRound<0>(s, keys.k[r - 3]);
  }
  decryptRound<-1>(s, keys.k[1]);
  invSubBytes(s);
  addRoundKey(s, keys.k[0]);
  for (Plane& x : s) x = shiftRows<-14>(x);
  transpose(s);
  for (std::size_t i = 0; i < 8; ++i) blocks[i] = s[i];
}

UNSEAL_BITSLICED_INLINE void cipherEight(const EncryptionKeys& keys, Plane (&s)[kLanes]) {
  encryptEight(keys, s);
}
UNSEAL_BITSLICED_INLINE void cipherEight(const DecryptionKeys& keys, Plane (&s)[kLanes]) {
  decryptEight(keys, s);
}

// N blocks (at most eight) through the cipher the keys are for, the unused
// lanes zero.
template <class Keys, std::size_t N>
UNSEAL_BITSLICED_INLINE void cipherBlocks(const Keys& keys, Plane (&blocks)[N]) {
  static_assert(N <= kLanes);
  if constexpr (N == kLanes) {
    cipherEight(keys, blocks);
  } else {
    Batch batch;
    for (std::size_t i = 0; i < N; ++i) batch.p[i] = blocks[i];
    cipherEight(keys, batch.p);
    for (std::size_t i = 0; i < N; ++i) blocks[i] = batch.p[i];
  }
}

// The run Core (RunCore in cipher/aes256_runs.h): one block per lane, up to
// eight lanes per batch, which is one pass through the bitsliced cipher. The
// serial modes and CFB8 take the default hooks (one lane per pass).
struct Core {
  using Block = Plane;
  using EncryptionKeys = bitsliced::EncryptionKeys;
  using DecryptionKeys = bitsliced::DecryptionKeys;

  UNSEAL_BITSLICED_INLINE static void load(const std::uint8_t* p, Plane& v) { v = bitsliced::load(p); }
  UNSEAL_BITSLICED_INLINE static void store(std::uint8_t* p, const Plane& v) { bitsliced::store(p, v); }
  template <class Keys, std::size_t N>
  UNSEAL_BITSLICED_INLINE static void cipher(const Keys& keys, Plane (&s)[N]) {
    cipherBlocks(keys, s);
  }

  // Whole batches of eight, then what is left in one batch of its own.
  template <class Kernel>
  UNSEAL_BITSLICED_INLINE static void inBatches(Kernel& kernel, std::size_t blocks) {
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

  // The counter blocks in registers (the default passes them through memory).
  UNSEAL_BITSLICED_INLINE static void counters(Counter& counter, Plane& v) {
    if constexpr (std::endian::native == std::endian::little) {
      v = (Plane)(Wide{counter.low, counter.high});
    } else {
      std::uint8_t bytes[16];
      counter.store(bytes);
      v = bitsliced::load(bytes);
      secureWipe(bytes, sizeof bytes);
    }
    counter.step();
  }
};

}  // namespace bitsliced

// The single-block functions hold their round keys (1920 bytes) and batch in
// their own frames, wiped by their destructors, and the batch ciphers below
// them spill state planes (under 400 bytes on x86-64) where no destructor
// reaches: the library wipes this much below their caller after each call.
// (Built with the sanitizers, decryption's spills reach past 3 KiB.)
constexpr std::size_t kBlockStackBytes = 3584;

UNSEAL_BITSLICED_CODE void bitslicedEncrypt(const std::uint8_t* key, std::uint8_t* block) noexcept {
  const bitsliced::EncryptionKeys keys(key);
  bitsliced::Batch batch;
  batch.p[0] = bitsliced::load(block);
  bitsliced::encryptEight(keys, batch.p);
  bitsliced::store(block, batch.p[0]);
}

UNSEAL_BITSLICED_CODE void bitslicedDecrypt(const std::uint8_t* scheduleEnd, std::uint8_t* block) noexcept {
  const bitsliced::DecryptionKeys keys(scheduleEnd);
  bitsliced::Batch batch;
  batch.p[0] = bitsliced::load(block);
  bitsliced::decryptEight(keys, batch.p);
  bitsliced::store(block, batch.p[0]);
}

// key and out may be the same bytes: the words are read before any is stored.
UNSEAL_BITSLICED_CODE void bitslicedScheduleEnd(const std::uint8_t* key, std::uint8_t* out) noexcept {
  bitsliced::KeyWords words(key);
  for (std::uint32_t rc = 1; rc != 0x80; rc <<= 1) words.forward(rc);
  for (int i = 0; i < 8; ++i) bitsliced::storeWord(out + 4 * i, words.w[i]);
}

}  // namespace

const Aes256Impl aes256Bitsliced = {"bitsliced",          AesInstructions::none,
                                    bitslicedEncrypt,     bitslicedDecrypt,
                                    bitslicedScheduleEnd, ModeRuns<bitsliced::Core>::table(),
                                    kBlockStackBytes};

}  // namespace unseal::detail
