// AES-256 in constant time without AES instructions, one block per register
// on byte permutes: SSSE3's PSHUFB on x86, NEON's TBL on aarch64 (Hamburg,
// "Accelerating AES with vector permute instructions", CHES 2009).
//
// A permute looks up all 16 bytes of a register at once in a 16-byte table
// held in another register, each byte's low four bits the index; an index
// whose top bit is set gives 0 on both instructions, and the code keeps
// every index below 16 or at 0x80 and above. Nothing is looked up in memory
// by a secret and nothing branches on one, so the cipher, the key schedule
// and the runs run in constant time.
//
// SubBytes inverts in GF(2^8), taken as a tower over its subfield GF(16): a
// byte of the state holds the element i + k v, i its high nibble and k its
// low one, both in GF(16) (nibble bit b is the coefficient of g^b, where g =
// 3^17 generates GF(16)'s units), and v^16 = v + 1, so that z = v^17 =
// v^2 + v lies in GF(16). With j = i + k and the norm N = i^2 + ik + z k^2,
//   io = 1 / (1/i + 1/(z k)) + j = N / (i + z k),
//   jo = 1 / (1/j + 1/(z k)) + i = N / (j + z k),
// five lookups of 1/n and 1/(z n) on nibbles, and the inverse is
// a (z + v) + b (1 + z + v) with a = 1/io and b = 1/jo. So L(x^-1), for any
// linear map L, is U[io] ^ T[jo] with U[n] = L((z + v) / n) and T[n] =
// L((1 + z + v) / n). A division by 0 gives 0x80: XORs with nibbles keep
// its top bit and the next lookup gives 0, which is what each such case needs
// (invertsEveryByte below checks all 256 inputs). Every table is derived here
// at compile time from the field's definition.
//
// Each round's output tables give S(x) and 2 S(x) in the tower basis, where
// the state stays from the first round to the last, whose tables give S(x) in
// the standard one. MixColumns is then XORs of those two rotated within the
// columns, three permutes. ShiftRows is left out of the rounds, as in the
// bitsliced code: with K of them skipped, row r of column c sits in column
// c + K r, the round keys are laid out to match and the permutes of
// MixColumns reach across the columns; one permute puts the state back at
// the end. 0x63, the S-box's constant, passes MixColumns unchanged and is
// folded into the round keys. Decryption runs the equivalent inverse cipher
// in a basis of its own (the tower basis of the inverse affine map's
// input): its tables give 9, 11, 13 and 14 times S^-1(x), and InvMixColumns
// is three permutes between them. The key schedule runs in the tower basis
// too, SubWord through the same lookups.
//
// The modes that chain block by block (CBC, PCBC, CFB and CFB8 encryption,
// OFB) and the single blocks run here, at several times the bitsliced
// code's speed on one block; the modes whose blocks go side by side are the
// bitsliced implementation's, which ciphers eight blocks in one pass.
#if defined(__x86_64__) || defined(__i386__) || defined(__aarch64__)

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "cipher/aes256_impl.h"
#include "unseal/wipe.h"

// Each function is compiled for SSSE3 on x86, so the rest of the library
// builds for any x86; it runs once CPUID has shown SSSE3. NEON is part of
// every aarch64. Exempt from AddressSanitizer, as the other vector code is:
// its instrumentation takes registers, and the compiler then spills round
// keys where no destructor reaches them.
#if defined(__x86_64__) || defined(__i386__)
#include <tmmintrin.h>
#define UNSEAL_VPERM_CODE __attribute__((target("ssse3"), no_sanitize("address")))
#define UNSEAL_VPERM_NEEDS AesInstructions::ssse3
#else
#include <arm_neon.h>
#define UNSEAL_VPERM_CODE __attribute__((no_sanitize("address")))
#define UNSEAL_VPERM_NEEDS AesInstructions::none
#endif
#define UNSEAL_VPERM_INLINE UNSEAL_VPERM_CODE __attribute__((always_inline)) inline

#define UNSEAL_RUN_CODE UNSEAL_VPERM_CODE
#include "cipher/aes256_runs.h"

namespace unseal::detail {
namespace {
namespace vperm {

using Bytes = std::uint8_t __attribute__((vector_size(16)));
using Table = std::array<std::uint8_t, 16>;

// ---------------------------------------------------------------------------
// The field and the tables, at compile time.

// GF(2^8) as AES takes it: polynomials over GF(2) modulo x^8 + x^4 + x^3 + x + 1.
constexpr std::uint8_t times(std::uint8_t a, std::uint8_t b) {
  std::uint8_t product = 0;
  for (; b != 0; b = static_cast<std::uint8_t>(b >> 1)) {
    if ((b & 1) != 0) product ^= a;
    a = static_cast<std::uint8_t>(a << 1 ^ ((a & 0x80) != 0 ? 0x1b : 0));
  }
  return product;
}

constexpr std::uint8_t power(std::uint8_t a, int n) {
  std::uint8_t result = 1;
  for (int i = 0; i < n; ++i) result = times(result, a);
  return result;
}

// 3 generates the 255 units: 1/a = 3^(255 - log a); 1/0 taken as 0.
struct Logarithms {
  std::array<std::uint8_t, 256> exp{}, log{};
};
constexpr Logarithms logarithms() {
  Logarithms l;
  std::uint8_t x = 1;
  for (std::size_t i = 0; i < 255; ++i, x = times(x, 3)) {
    l.exp[i] = x;
    l.log[x] = static_cast<std::uint8_t>(i);
  }
  return l;
}
constexpr Logarithms kLogarithms = logarithms();
constexpr std::uint8_t inverse(std::uint8_t a) {
  return a == 0 ? 0 : kLogarithms.exp[(255u - kLogarithms.log[a]) % 255u];
}

constexpr std::uint8_t rotateLeft(std::uint8_t x, int n) {
  return static_cast<std::uint8_t>(x << n | x >> (8 - n));
}
// The S-box is affine(1/x) ^ 0x63.
constexpr std::uint8_t affine(std::uint8_t y) {
  return static_cast<std::uint8_t>(y ^ rotateLeft(y, 1) ^ rotateLeft(y, 2) ^ rotateLeft(y, 3) ^
                                   rotateLeft(y, 4));
}

// The inverse of a bijection of bytes, as a table.
template <class F>
constexpr std::array<std::uint8_t, 256> inverted(F f) {
  std::array<std::uint8_t, 256> table{};
  for (unsigned x = 0; x < 256; ++x) table[f(static_cast<std::uint8_t>(x))] = static_cast<std::uint8_t>(x);
  return table;
}
constexpr std::array<std::uint8_t, 256> kInverseAffine = inverted(affine);

// GF(16) in GF(2^8): the elements with x^16 = x, 0 and the powers of g.
constexpr std::uint8_t kG = power(3, 17);
constexpr std::uint8_t fromNibble(unsigned n) {
  std::uint8_t e = 0;
  for (int b = 0; b < 4; ++b) {
    if ((n >> b & 1) != 0) e ^= power(kG, b);
  }
  return e;
}
// The first element of GF(2^8) with v^16 = v + 1.
constexpr std::uint8_t findV() {
  std::uint8_t v = 2;
  while (power(v, 16) != (v ^ 1)) ++v;
  return v;
}
constexpr std::uint8_t kV = findV();
constexpr std::uint8_t kZ = times(kV, kV ^ 1);

// The tower basis: byte i << 4 | k stands for i + k v.
constexpr std::uint8_t fromTower(std::uint8_t m) {
  return static_cast<std::uint8_t>(fromNibble(m >> 4u) ^ times(fromNibble(m & 15u), kV));
}
constexpr std::array<std::uint8_t, 256> kToTower = inverted(fromTower);
constexpr std::uint8_t toTower(std::uint8_t x) { return kToTower[x]; }
// An element of GF(16) as its nibble.
constexpr std::uint8_t toNibble(std::uint8_t e) { return static_cast<std::uint8_t>(toTower(e) >> 4); }
// Decryption's basis: the tower basis of the input the inverse S-box inverts.
constexpr std::uint8_t toInverseTower(std::uint8_t x) { return toTower(kInverseAffine[x]); }

// A lookup as both instructions make it, on the indices the code makes.
constexpr std::uint8_t kInfinity = 0x80;
constexpr std::uint8_t lookedUp(const Table& table, std::uint8_t index) {
  return index < 16 ? table[index] : index >= kInfinity ? 0 : throw "an index the instructions differ on";
}

// n -> 1/(c n) in GF(16); 1/0 is 0x80.
constexpr Table reciprocals(std::uint8_t c) {
  Table t{kInfinity};
  for (std::uint8_t n = 1; n < 16; ++n) t[n] = toNibble(inverse(times(c, fromNibble(n))));
  return t;
}
constexpr Table kInverse = reciprocals(1), kInverseZTimes = reciprocals(kZ);

// L(x^-1) = u[io] ^ t[jo].
struct OutputTables {
  Table u{}, t{};
};
template <class L>
constexpr OutputTables outputTables(L map) {
  OutputTables tables;
  for (std::uint8_t n = 1; n < 16; ++n) {
    const std::uint8_t reciprocal = inverse(fromNibble(n));
    tables.u[n] = map(times(reciprocal, kZ ^ kV));
    tables.t[n] = map(times(reciprocal, 1 ^ kZ ^ kV));
  }
  return tables;
}

// io and jo of the tower byte m, then x^-1, as the vector code finds them.
constexpr std::uint8_t invertedThroughTables(std::uint8_t m) {
  const std::uint8_t i = m >> 4u, k = m & 15u, j = i ^ k;
  const std::uint8_t zk = lookedUp(kInverseZTimes, k);
  const std::uint8_t a = lookedUp(kInverse, i) ^ zk, b = lookedUp(kInverse, j) ^ zk;
  const std::uint8_t io = lookedUp(kInverse, a) ^ j, jo = lookedUp(kInverse, b) ^ i;
  constexpr OutputTables kPlain = outputTables([](std::uint8_t y) { return y; });
  return lookedUp(kPlain.u, io) ^ lookedUp(kPlain.t, jo);
}
constexpr bool invertsEveryByte() {
  for (unsigned m = 0; m < 256; ++m) {
    const auto tower = static_cast<std::uint8_t>(m);
    if (invertedThroughTables(tower) != inverse(fromTower(tower))) return false;
  }
  return true;
}
static_assert(invertsEveryByte());

// A linear map of bytes as two lookups: L(x) = low[x & 15] ^ high[x >> 4].
struct NibbleTables {
  Table low{}, high{};
};
template <class L>
constexpr NibbleTables nibbleTables(L map) {
  NibbleTables tables;
  for (std::uint8_t n = 0; n < 16; ++n) {
    tables.low[n] = map(n);
    tables.high[n] = map(static_cast<std::uint8_t>(n << 4));
  }
  return tables;
}

// Byte 4c + r of a block is row r of column c. A permutation as the index
// table of a permute: byte 4c + r takes byte from(r, c), mod 4.
template <class F>
constexpr Table permutation(F from) {
  Table t{};
  for (int c = 0; c < 4; ++c) {
    for (int r = 0; r < 4; ++r) {
      const auto [row, column] = from(r, c);
      t[static_cast<std::size_t>(4 * c + r)] = static_cast<std::uint8_t>(4 * (column & 3) + (row & 3));
    }
  }
  return t;
}
// With K ShiftRows skipped, the byte of a column n rows down: (r + n, c + K n).
constexpr Table rowsDown(int n, int skipped) {
  return permutation([n, skipped](int r, int c) { return std::pair(r + n, c + skipped * n); });
}
// A round key laid out as a state with K ShiftRows skipped: (r, c - K r).
constexpr Table laidOut(int skipped) {
  return permutation([skipped](int r, int c) { return std::pair(r, c - skipped * r); });
}
// Word 3 of a block in every word, rotated by a byte (RotWord) or not.
constexpr Table word3(int rotation) {
  return permutation([rotation](int r, int) { return std::pair(r + rotation, 3); });
}

constexpr Bytes vec(const Table& t) {
  return Bytes{t[0], t[1], t[2],  t[3],  t[4],  t[5],  t[6],  t[7],
               t[8], t[9], t[10], t[11], t[12], t[13], t[14], t[15]};
}
constexpr Bytes everyByte(std::uint8_t b) { return Bytes{} + b; }

// The vector constants.
struct Lookup2 {
  Bytes low, high;
};
constexpr Lookup2 vec(const NibbleTables& t) { return {vec(t.low), vec(t.high)}; }
constexpr Lookup2 vec(const OutputTables& t) { return {vec(t.u), vec(t.t)}; }

constexpr Bytes kInverseTable = vec(kInverse), kInverseZTimesTable = vec(kInverseZTimes);
constexpr Lookup2 kToTowerTables = vec(nibbleTables(toTower));
constexpr Lookup2 kFromTowerTables = vec(nibbleTables(fromTower));
constexpr Lookup2 kToInverseTowerTables = vec(nibbleTables(toInverseTower));
// S(x) ^ 0x63 and 2 S(x) ^ 2 0x63 in the tower basis; S(x) ^ 0x63 in the standard one.
constexpr Lookup2 kSbox = vec(outputTables([](std::uint8_t y) { return toTower(affine(y)); }));
constexpr Lookup2 kSbox2 = vec(outputTables([](std::uint8_t y) { return toTower(times(2, affine(y))); }));
constexpr Lookup2 kSboxOut = vec(outputTables(affine));
// m S^-1(x) in decryption's basis, and S^-1(x) in the standard one.
template <std::uint8_t M>
constexpr Lookup2 kInvSbox = vec(outputTables([](std::uint8_t y) { return toInverseTower(times(M, y)); }));
constexpr Lookup2 kInvSboxOut = vec(outputTables([](std::uint8_t y) { return y; }));
// m k for a round key byte k in the tower basis, into decryption's basis.
template <std::uint8_t M>
constexpr Lookup2 kInvMixKey = vec(nibbleTables([](std::uint8_t k) {
  return toInverseTower(times(M, fromTower(k)));
}));

constexpr Bytes kTowerConstant = everyByte(toTower(0x63)),
                kInverseTowerConstant = everyByte(toInverseTower(0x63));
template <int N, int Skipped>
constexpr Bytes kRowsDown = vec(rowsDown(N, Skipped));
template <int Skipped>
constexpr Bytes kLaidOut = vec(laidOut(Skipped));
constexpr Bytes kWord3 = vec(word3(0)), kRotWord3 = vec(word3(1));
// What SubWord(RotWord(w)) ^ rcon adds to the S-box's lookups: 0x63, and
// the round constant in each word's first byte, in the tower basis.
constexpr Bytes roundConstant(std::uint8_t rc) {
  const std::uint8_t c = toTower(0x63), first = c ^ toTower(rc);
  return Bytes{first, c, c, c, first, c, c, c, first, c, c, c, first, c, c, c};
}
constexpr Bytes kRoundConstants[7] = {roundConstant(0x01), roundConstant(0x02), roundConstant(0x04),
                                      roundConstant(0x08), roundConstant(0x10), roundConstant(0x20),
                                      roundConstant(0x40)};

// ---------------------------------------------------------------------------
// The vector code.

UNSEAL_VPERM_INLINE Bytes loadBytes(const std::uint8_t* p) {
  Bytes v;
  std::memcpy(&v, p, 16);
  return v;
}
UNSEAL_VPERM_INLINE void storeBytes(std::uint8_t* p, const Bytes& v) { std::memcpy(p, &v, 16); }

// table[index] in every byte.
UNSEAL_VPERM_INLINE Bytes lookup(Bytes table, Bytes index) {
#if defined(__x86_64__) || defined(__i386__)
  return (Bytes)_mm_shuffle_epi8((__m128i)table, (__m128i)index);
#else
  return (Bytes)vqtbl1q_u8((uint8x16_t)table, (uint8x16_t)index);
#endif
}
// Byte p of the result is byte order[p] of x.
UNSEAL_VPERM_INLINE Bytes permute(Bytes order, Bytes x) { return lookup(x, order); }

// x, which the compiler cannot regroup with the XORs around it: a round's
// last XOR waits only for the permute of y, not for a second XOR after it,
// which the compiler's own grouping put there (3% of the serial modes' time).
UNSEAL_VPERM_INLINE Bytes settled(Bytes x) {
#if defined(__x86_64__) || defined(__i386__)
  asm("" : "+x"(x));
#else
  asm("" : "+w"(x));
#endif
  return x;
}

UNSEAL_VPERM_INLINE Bytes lowNibbles(Bytes x) { return x & 15; }
UNSEAL_VPERM_INLINE Bytes highNibbles(Bytes x) { return x >> 4; }

UNSEAL_VPERM_INLINE Bytes transform(const Lookup2& map, Bytes x) {
  return lookup(map.low, lowNibbles(x)) ^ lookup(map.high, highNibbles(x));
}

// io and jo of every byte (in the tower basis) of x.
struct Inverted {
  Bytes io, jo;
};
UNSEAL_VPERM_INLINE Inverted invert(Bytes x) {
  const Bytes i = highNibbles(x), k = lowNibbles(x), j = i ^ k;
  const Bytes zk = lookup(kInverseZTimesTable, k);
  const Bytes a = lookup(kInverseTable, i) ^ zk, b = lookup(kInverseTable, j) ^ zk;
  return {lookup(kInverseTable, a) ^ j, lookup(kInverseTable, b) ^ i};
}
UNSEAL_VPERM_INLINE Bytes output(const Lookup2& tables, const Inverted& x) {
  return lookup(tables.low, x.io) ^ lookup(tables.high, x.jo);
}

// With Skipped ShiftRows left out (mod 4): SubBytes, MixColumns, the round
// key. Column (a0..a3) -> 2a_r ^ 3a_{r+1} ^ a_{r+2} ^ a_{r+3}, written as
// y ^ down(y) ^ down3(s) with y = 2s ^ down(s).
template <int Skipped>
UNSEAL_VPERM_INLINE Bytes encryptRound(Bytes state, Bytes key) {
  const Inverted x = invert(state);
  const Bytes s = output(kSbox, x), y = output(kSbox2, x) ^ permute(kRowsDown<1, Skipped>, s);
  return permute(kRowsDown<1, Skipped>, y) ^ settled(y ^ (permute(kRowsDown<3, Skipped>, s) ^ key));
}

// InvSubBytes, InvMixColumns and the round key, the inverse ShiftRows skipped:
// column -> 14a_r ^ 11a_{r+1} ^ 13a_{r+2} ^ 9a_{r+3}, a Horner scheme of
// permutes one row down.
template <int Skipped>
UNSEAL_VPERM_INLINE Bytes decryptRound(Bytes state, Bytes key) {
  const Inverted x = invert(state);
  Bytes t = output(kInvSbox<9>, x);
  t = output(kInvSbox<13>, x) ^ permute(kRowsDown<1, Skipped>, t);
  t = output(kInvSbox<11>, x) ^ permute(kRowsDown<1, Skipped>, t);
  return output(kInvSbox<14>, x) ^ permute(kRowsDown<1, Skipped>, t) ^ key;
}

// The last S-box, out of the tower basis, and the skipped ShiftRows made:
// 14 of them, that is 2.
UNSEAL_VPERM_INLINE Bytes lastRound(const Lookup2& sbox, Bytes state) {
  return permute(kLaidOut<2>, output(sbox, invert(state)));
}

// ---------------------------------------------------------------------------
// The key schedule, in the tower basis.

// (w0, w1, w2, w3) -> (w0, w0^w1, w0^w1^w2, w0^w1^w2^w3), and back.
UNSEAL_VPERM_INLINE Bytes wordUp(Bytes x) {
  return __builtin_shufflevector(Bytes{}, x, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27);
}
UNSEAL_VPERM_INLINE Bytes prefixXor(Bytes x) {
  x ^= wordUp(x);
  return x ^
         __builtin_shufflevector(Bytes{}, x, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23);
}
UNSEAL_VPERM_INLINE Bytes unprefixXor(Bytes x) { return x ^ wordUp(x); }

// SubWord of word 3 (RotWord'ed first with kRotWord3) in every word, but
// 0x63 (the round constants add it).
UNSEAL_VPERM_INLINE Bytes subWord3(Bytes pick, Bytes k) { return output(kSbox, invert(permute(pick, k))); }

// Round keys 2j and 2j+1 -> 2j+2 and 2j+3 (Rc: the constant of step j+1).
UNSEAL_VPERM_INLINE void forwardStep(Bytes& k0, Bytes& k1, Bytes rc) {
  k0 = prefixXor(k0) ^ subWord3(kRotWord3, k1) ^ rc;
  k1 = prefixXor(k1) ^ subWord3(kWord3, k0) ^ kTowerConstant;
}
UNSEAL_VPERM_INLINE void backwardStep(Bytes& k0, Bytes& k1, Bytes rc) {
  k1 = unprefixXor(k1 ^ subWord3(kWord3, k0) ^ kTowerConstant);
  k0 = unprefixXor(k0 ^ subWord3(kRotWord3, k1) ^ rc);
}

// A round key 1 to 13 from the tower basis, as the rounds take it.
template <int Skipped>
UNSEAL_VPERM_INLINE Bytes encryptionKey(Bytes k) {
  if constexpr (Skipped != 0) k = permute(kLaidOut<Skipped>, k);
  return k ^ kTowerConstant;
}
// InvMixColumns of it, in decryption's basis.
template <int Skipped>
UNSEAL_VPERM_INLINE Bytes decryptionKey(Bytes k) {
  Bytes t = transform(kInvMixKey<9>, k);
  t = transform(kInvMixKey<13>, k) ^ permute(kRowsDown<1, 0>, t);
  t = transform(kInvMixKey<11>, k) ^ permute(kRowsDown<1, 0>, t);
  t = transform(kInvMixKey<14>, k) ^ permute(kRowsDown<1, 0>, t);
  if constexpr (Skipped != 0) t = permute(kLaidOut<Skipped>, t);
  return t ^ kInverseTowerConstant;
}

// The 15 round keys of one run, wiped when it ends.
struct RoundKeys {
  Bytes k[15];
  ~RoundKeys() { secureWipe(k, sizeof k); }
};

// k[0] is whitened in before the tower basis, k[1..13] are the rounds' keys,
// k[14] the last one with 0x63 in it.
struct EncryptionKeys : RoundKeys {
  UNSEAL_VPERM_INLINE explicit EncryptionKeys(const std::uint8_t* key) {
    Bytes k0 = loadBytes(key), k1 = loadBytes(key + 16);
    k[0] = k0;
    k0 = transform(kToTowerTables, k0);
    k1 = transform(kToTowerTables, k1);
    k[1] = encryptionKey<1>(k1);
    for (int j = 1; j < 7; j += 2) {  // steps j and j + 1: round keys 2j to 2j + 3
      forwardStep(k0, k1, kRoundConstants[j - 1]);
      k[2 * j] = encryptionKey<2>(k0);
      k[2 * j + 1] = encryptionKey<3>(k1);
      forwardStep(k0, k1, kRoundConstants[j]);
      k[2 * j + 2] = encryptionKey<0>(k0);
      k[2 * j + 3] = encryptionKey<1>(k1);
    }
    k0 = prefixXor(k0) ^ subWord3(kRotWord3, k1) ^ kRoundConstants[6];
    k[14] = transform(kFromTowerTables, k0) ^ 0x63;
  }
};

// From the schedule's end: k[0] is round key 14 with 0x63 in it, whitened
// in before decryption's basis; k[i] the key of round 14 - i; k[14] round
// key 0.
struct DecryptionKeys : RoundKeys {
  UNSEAL_VPERM_INLINE explicit DecryptionKeys(const std::uint8_t* scheduleEnd) {
    Bytes k0 = loadBytes(scheduleEnd), k1 = loadBytes(scheduleEnd + 16);
    k[0] = k0 ^ 0x63;
    k0 = transform(kToTowerTables, k0);
    k1 = transform(kToTowerTables, k1);
    for (int j = 7; j > 1; j -= 2) {  // steps j and j - 1 back: round keys 2j - 1 down to 2j - 4
      backwardStep(k0, k1, kRoundConstants[j - 1]);
      k[15 - 2 * j] = decryptionKey<3>(k1);
      k[16 - 2 * j] = decryptionKey<2>(k0);
      backwardStep(k0, k1, kRoundConstants[j - 2]);
      k[17 - 2 * j] = decryptionKey<1>(k1);
      k[18 - 2 * j] = decryptionKey<0>(k0);
    }
    backwardStep(k0, k1, kRoundConstants[0]);
    k[13] = decryptionKey<3>(k1);
    k[14] = transform(kFromTowerTables, k0);
  }
};

// The rounds after whitening, the last key (with a mask in it) at the end.
UNSEAL_VPERM_INLINE Bytes encryptWhitened(const EncryptionKeys& keys, Bytes state, Bytes lastKey) {
  state = transform(kToTowerTables, state);
  for (int r = 1; r < 13; r += 4) {
    state = encryptRound<1>(state, keys.k[r]);
    state = encryptRound<2>(state, keys.k[r + 1]);
    state = encryptRound<3>(state, keys.k[r + 2]);
    state = encryptRound<0>(state, keys.k[r + 3]);
  }
  state = encryptRound<1>(state, keys.k[13]);
  return lastRound(kSboxOut, state) ^ lastKey;
}

// Round r (13 down to 1) has skipped 14 - r inverse ShiftRows: -1 in round 13.
UNSEAL_VPERM_INLINE Bytes decrypt(const DecryptionKeys& keys, Bytes state) {
  state = transform(kToInverseTowerTables, state ^ keys.k[0]);
  for (int i = 1; i < 13; i += 4) {
    state = decryptRound<3>(state, keys.k[i]);
    state = decryptRound<2>(state, keys.k[i + 1]);
    state = decryptRound<1>(state, keys.k[i + 2]);
    state = decryptRound<0>(state, keys.k[i + 3]);
  }
  state = decryptRound<3>(state, keys.k[13]);
  return lastRound(kInvSboxOut, state) ^ keys.k[14];
}

// The run Core (RunCore in cipher/aes256_runs.h), one block per register.
// The serial modes chain whitened states through finish; the table below
// takes only those from this core, so one block per batch serves the rest.
struct Core {
  using Block = Bytes;
  using EncryptionKeys = vperm::EncryptionKeys;
  using DecryptionKeys = vperm::DecryptionKeys;

  UNSEAL_VPERM_INLINE static void load(const std::uint8_t* p, Bytes& v) { v = loadBytes(p); }
  UNSEAL_VPERM_INLINE static void store(std::uint8_t* p, const Bytes& v) { storeBytes(p, v); }

  template <std::size_t N>
  UNSEAL_VPERM_INLINE static void cipher(const EncryptionKeys& keys, Bytes (&s)[N]) {
    for (Bytes& x : s) x = encryptWhitened(keys, x ^ keys.k[0], keys.k[14]);
  }
  template <std::size_t N>
  UNSEAL_VPERM_INLINE static void cipher(const DecryptionKeys& keys, Bytes (&s)[N]) {
    for (Bytes& x : s) x = decrypt(keys, x);
  }
  UNSEAL_VPERM_INLINE static Bytes whiten(const EncryptionKeys& keys, Bytes block) {
    return block ^ keys.k[0];
  }
  UNSEAL_VPERM_INLINE static Bytes finish(const EncryptionKeys& keys, Bytes state, Bytes mask) {
    return encryptWhitened(keys, state, keys.k[14] ^ mask);
  }

  template <class Kernel>
  UNSEAL_VPERM_INLINE static void inBatches(Kernel& kernel, std::size_t blocks) {
    for (; blocks != 0; --blocks) kernel.template batch<Bytes, 1>();
  }

  UNSEAL_VPERM_INLINE static std::uint8_t firstByte(const Bytes& v) { return v[0]; }
  // Bytes 1..15 move to 0..14 and the new byte comes in at 15.
  UNSEAL_VPERM_INLINE static Bytes shiftIn(const Bytes& v, std::uint8_t byte) {
    return __builtin_shufflevector(v, everyByte(byte), 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16);
  }
};

}  // namespace vperm

// The single-block functions keep their round keys in their frames, wiped by
// the destructors, and may spill what the compiler keeps in registers: the
// library wipes this much below their caller after each call.
// (under 400 bytes with g++ and clang, on x86-64 and aarch64).
constexpr std::size_t kBlockStackBytes = 512;

UNSEAL_VPERM_CODE void vpermEncrypt(const std::uint8_t* key, std::uint8_t* block) noexcept {
  const vperm::EncryptionKeys keys(key);
  vperm::Bytes lane[1] = {vperm::loadBytes(block)};
  vperm::Core::cipher(keys, lane);
  vperm::storeBytes(block, lane[0]);
}

UNSEAL_VPERM_CODE void vpermDecrypt(const std::uint8_t* scheduleEnd, std::uint8_t* block) noexcept {
  const vperm::DecryptionKeys keys(scheduleEnd);
  vperm::storeBytes(block, vperm::decrypt(keys, vperm::loadBytes(block)));
}

// key and out may be the same bytes: both halves are loaded before any store.
UNSEAL_VPERM_CODE void vpermScheduleEnd(const std::uint8_t* key, std::uint8_t* out) noexcept {
  using namespace vperm;
  Bytes k0 = transform(kToTowerTables, loadBytes(key)), k1 = transform(kToTowerTables, loadBytes(key + 16));
  for (const Bytes& rc : kRoundConstants) forwardStep(k0, k1, rc);
  storeBytes(out, transform(kFromTowerTables, k0));
  storeBytes(out + 16, transform(kFromTowerTables, k1));
}

// The modes whose blocks go side by side run on the bitsliced code, eight
// blocks per pass; each of those entries passes its run on.
template <ModeRun Run>
void bitslicedRun(const std::uint8_t* key, std::uint8_t* iv, const std::uint8_t* in, std::uint8_t* out,
                  std::size_t length) noexcept {
  aes256Bitsliced.runs[Run](key, iv, in, out, length);
}

template <std::size_t... Run>
constexpr RunTable vpermRuns(std::index_sequence<Run...>) {
  constexpr RunTable kOwn = ModeRuns<vperm::Core>::table();
  return {
      (runsBlockByBlock(static_cast<ModeRun>(Run)) ? kOwn[Run] : bitslicedRun<static_cast<ModeRun>(Run)>)...};
}

}  // namespace

const Aes256Impl aes256Vperm = {"vperm",          UNSEAL_VPERM_NEEDS,
                                vpermEncrypt,     vpermDecrypt,
                                vpermScheduleEnd, vpermRuns(std::make_index_sequence<kModeRunCount>()),
                                kBlockStackBytes};

}  // namespace unseal::detail

#endif
