// Internal: the chaining modes over whole texts, written once for every
// AES-256 implementation (see ModeRun in cipher/aes256_impl.h).
//
// An implementation file defines UNSEAL_RUN_CODE (the attributes its code is
// compiled with) and a Core, then takes ModeRuns<Core>::table(). A Core holds
// blocks in lanes: Block holds one block (a register, or bytes); a wider lane
// type V holds sizeof(V) / 16 blocks, block 0 first as load and store see it.
//
// What every Core writes (the concept RunCore checks it at ModeRuns<Core>):
//   Block, EncryptionKeys(key), DecryptionKeys(scheduleEnd)
//       the round keys of one run, wiped by their destructors;
//   load(p, block), store(p, block), block ^ block;
//   cipher(keys, Block (&)[N])   N lanes through the forward cipher
//                                (EncryptionKeys) or the inverse one;
//   inBatches(kernel, blocks)    calls kernel.batch<V, N>() over `blocks` blocks.
// The batch rule: batch<V, N> takes N lanes of V, that is N * sizeof(V) / 16
// blocks, and inBatches covers any count of blocks exactly, so what is left
// after the wide batches goes in lanes of Block. A bitsliced cipher packs the
// N blocks of cipher(keys, Block (&)[N]) into its slices, or takes a lane
// type sized to its slices.
//
// What a Core may write where it can do better than the default (CoreHooks):
//   encrypt(keys, block)         one block; default: cipher on one lane;
//   whiten(keys, block), finish(keys, state, mask): whiten XORs a fixed
//       key-dependent value w into the block (default w = 0), and
//       finish(whiten(x), mask) == E(x) ^ mask (default: encrypt, then XOR),
//       so a Core that writes whiten writes finish. The serial modes chain
//       whitened states through them;
//   the CFB8 shift register: firstByte(block), shiftIn(block, byte);
//   the lane hooks, for Block (defaults) and for every wider V (required; a
//       missing one stops the build with its name):
//     preceding(previous, current)  the lane one block before `current`;
//     lastBlock(v), endingWith(block, v)  v's last block, read or set;
//     counters(counter, v)          the next counter values, one per block;
//     pcbcUnchain(d, c, chain)      PCBC's plaintexts from the decryptions d
//                                   and ciphertexts c, chain moving on;
//     loadWindows(p, v)             block i from the 16 bytes at p + i;
//     firstBytes(v, out)            out[i] = byte 0 of block i.
// The serial modes (CBC, PCBC, CFB, CFB8 encryption and OFB) chain one block
// at a time; the others run the blocks of a batch side by side. Every batch
// loads its input before it stores, so out may be in.
//
// Everything here has internal linkage: each implementation file compiles it
// with its own attributes.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "cipher/aes256_impl.h"
#include "unseal/wipe.h"

#ifndef UNSEAL_RUN_CODE
#error "define UNSEAL_RUN_CODE before including cipher/aes256_runs.h"
#endif
#define UNSEAL_RUN_INLINE UNSEAL_RUN_CODE __attribute__((always_inline)) inline

namespace unseal::detail {
namespace {

// The CTR counter: 16 bytes as one 128-bit number, byte 0 least significant.
// Plain scalar code, so every core can inline it. The counter may be secret
// (a generator's is), so stepping it takes no branch on its value.
struct Counter {
  std::uint64_t low = 0, high = 0;

  explicit Counter(const std::uint8_t* bytes) {
    for (int i = 7; i >= 0; --i) {
      low = low << 8 | bytes[i];
      high = high << 8 | bytes[8 + i];
    }
  }
  void store(std::uint8_t* bytes) const {
    for (int i = 0; i < 8; ++i) {
      bytes[i] = static_cast<std::uint8_t>(low >> 8 * i);
      bytes[8 + i] = static_cast<std::uint8_t>(high >> 8 * i);
    }
  }
  // An add and an add with carry: no branch on the value, and nothing the
  // optimiser turns into one (a loop ended by comparing the counter).
  void step() { high += __builtin_add_overflow(low, std::uint64_t{1}, &low); }
  ~Counter() { secureWipe(this, sizeof *this); }
  Counter(const Counter&) = delete;
  Counter& operator=(const Counter&) = delete;
};

// A kernel that takes any batch: what RunCore offers a Core's inBatches.
struct AnyBatch {
  template <class V, std::size_t N>
  void batch();
};

template <class Core>
concept RunCore = std::default_initializable<typename Core::Block> &&
    std::constructible_from<typename Core::EncryptionKeys, const std::uint8_t*> &&
    std::constructible_from<typename Core::DecryptionKeys, const std::uint8_t*> &&
    requires(const std::uint8_t* in, std::uint8_t* out, typename Core::Block& block,
             typename Core::Block (&lane)[1], const typename Core::EncryptionKeys& encryption,
             const typename Core::DecryptionKeys& decryption, AnyBatch& kernel, std::size_t blocks) {
  Core::load(in, block);
  Core::store(out, block);
  { block ^ block } -> std::convertible_to<typename Core::Block>;
  Core::cipher(encryption, lane);
  Core::cipher(decryption, lane);
  Core::inBatches(kernel, blocks);
};

// The optional hooks: the Core's own where it has one, else the default.
// A default lane hook serves Block only; for a wider lane type a missing
// hook stops the build with its name. Defaults that pass a block through
// memory wipe it there.
template <RunCore Core>
struct CoreHooks {
  using Block = typename Core::Block;
  using EncryptionKeys = typename Core::EncryptionKeys;

  static constexpr bool kWhitens = requires(const EncryptionKeys& keys, const Block& block) {
    Core::whiten(keys, block);
  };
  static constexpr bool kFinishes = requires(const EncryptionKeys& keys, const Block& block) {
    Core::finish(keys, block, block);
  };
  static_assert(kFinishes || !kWhitens, "a Core that writes whiten writes finish");

  UNSEAL_RUN_INLINE static Block encrypt(const EncryptionKeys& keys, const Block& block) {
    if constexpr (requires { Core::encrypt(keys, block); }) {
      return Core::encrypt(keys, block);
    } else {
      Block lane[1] = {block};
      Core::cipher(keys, lane);
      return lane[0];
    }
  }
  UNSEAL_RUN_INLINE static Block whiten(const EncryptionKeys& keys, const Block& block) {
    if constexpr (kWhitens) {
      return Core::whiten(keys, block);
    } else {
      return block;
    }
  }
  UNSEAL_RUN_INLINE static Block finish(const EncryptionKeys& keys, const Block& state, const Block& mask) {
    if constexpr (kFinishes) {
      return Core::finish(keys, state, mask);
    } else {
      return encrypt(keys, state) ^ mask;
    }
  }

  UNSEAL_RUN_INLINE static std::uint8_t firstByte(const Block& block) {
    if constexpr (requires { Core::firstByte(block); }) {
      return Core::firstByte(block);
    } else {
      std::uint8_t bytes[16];
      Core::store(bytes, block);
      const std::uint8_t first = bytes[0];
      secureWipe(bytes, sizeof bytes);
      return first;
    }
  }
  // Bytes 1..15 move to 0..14 and the new byte comes in at 15.
  UNSEAL_RUN_INLINE static Block shiftIn(const Block& block, std::uint8_t byte) {
    if constexpr (requires { Core::shiftIn(block, byte); }) {
      return Core::shiftIn(block, byte);
    } else {
      std::uint8_t bytes[16];
      Core::store(bytes, block);
      std::memmove(bytes, bytes + 1, 15);
      bytes[15] = byte;
      Block shifted;
      Core::load(bytes, shifted);
      secureWipe(bytes, sizeof bytes);
      return shifted;
    }
  }

  template <class V>
  UNSEAL_RUN_INLINE static V preceding(const V& previous, const V& current) {
    if constexpr (requires { Core::preceding(previous, current); }) {
      return Core::preceding(previous, current);
    } else {
      static_assert(sizeof(V) == sizeof(Block),
                    "a lane type wider than Block needs the Core's preceding(previous, current)");
      return previous;
    }
  }
  template <class V>
  UNSEAL_RUN_INLINE static Block lastBlock(const V& v) {
    if constexpr (requires { Core::lastBlock(v); }) {
      return Core::lastBlock(v);
    } else {
      static_assert(sizeof(V) == sizeof(Block), "a lane type wider than Block needs the Core's lastBlock(v)");
      return v;
    }
  }
  template <class V>
  UNSEAL_RUN_INLINE static void endingWith(const Block& block, V& v) {
    if constexpr (requires { Core::endingWith(block, v); }) {
      Core::endingWith(block, v);
    } else {
      static_assert(sizeof(V) == sizeof(Block),
                    "a lane type wider than Block needs the Core's endingWith(block, v)");
      v = block;
    }
  }
  template <class V>
  UNSEAL_RUN_INLINE static void counters(Counter& counter, V& v) {
    if constexpr (requires { Core::counters(counter, v); }) {
      Core::counters(counter, v);
    } else {
      static_assert(sizeof(V) == sizeof(Block),
                    "a lane type wider than Block needs the Core's counters(counter, v)");
      std::uint8_t bytes[16];
      counter.store(bytes);
      Core::load(bytes, v);
      secureWipe(bytes, sizeof bytes);
      counter.step();
    }
  }
  // p = d ^ chain, and the chain moves on to p ^ c.
  template <class V>
  UNSEAL_RUN_INLINE static V pcbcUnchain(const V& d, const V& c, Block& chain) {
    if constexpr (requires { Core::pcbcUnchain(d, c, chain); }) {
      return Core::pcbcUnchain(d, c, chain);
    } else {
      static_assert(sizeof(V) == sizeof(Block),
                    "a lane type wider than Block needs the Core's pcbcUnchain(d, c, chain)");
      V p = d ^ chain;
      chain = p ^ c;
      return p;
    }
  }
  template <class V>
  UNSEAL_RUN_INLINE static void loadWindows(const std::uint8_t* p, V& v) {
    if constexpr (requires { Core::loadWindows(p, v); }) {
      Core::loadWindows(p, v);
    } else {
      static_assert(sizeof(V) == sizeof(Block),
                    "a lane type wider than Block needs the Core's loadWindows(p, v)");
      Core::load(p, v);
    }
  }
  template <class V>
  UNSEAL_RUN_INLINE static void firstBytes(const V& v, std::uint8_t* out) {
    if constexpr (requires { Core::firstBytes(v, out); }) {
      Core::firstBytes(v, out);
    } else {
      static_assert(sizeof(V) == sizeof(Block),
                    "a lane type wider than Block needs the Core's firstBytes(v, out)");
      out[0] = firstByte(v);
    }
  }
};

template <RunCore Core>
struct ModeRuns {
  using Block = typename Core::Block;
  using EncryptionKeys = typename Core::EncryptionKeys;
  using DecryptionKeys = typename Core::DecryptionKeys;
  using Hooks = CoreHooks<Core>;

  template <class V>
  static constexpr std::size_t kBlocks = sizeof(V) / 16;

  // The input and output of a run, moved on batch by batch.
  struct Cursor {
    const std::uint8_t* in;
    std::uint8_t* out;
    UNSEAL_RUN_INLINE void advance(std::size_t bytes) {
      in += bytes;
      out += bytes;
    }
  };

  // ECB both ways: out = E(in) or D(in).
  template <class Keys>
  struct EcbBatches : Cursor {
    const Keys& keys;
    template <class V, std::size_t N>
    UNSEAL_RUN_INLINE void batch() {
      V s[N];
      for (std::size_t i = 0; i < N; ++i) Core::load(this->in + i * sizeof(V), s[i]);
      Core::cipher(keys, s);
      for (std::size_t i = 0; i < N; ++i) Core::store(this->out + i * sizeof(V), s[i]);
      this->advance(N * sizeof(V));
    }
  };

  // CBC decryption: p[i] = D(c[i]) ^ c[i-1], the chain holding c[-1].
  struct CbcDecryptBatches : Cursor {
    const DecryptionKeys& keys;
    Block chain;
    template <class V, std::size_t N>
    UNSEAL_RUN_INLINE void batch() {
      V c[N], s[N];
      for (std::size_t i = 0; i < N; ++i) {
        Core::load(this->in + i * sizeof(V), c[i]);
        s[i] = c[i];
      }
      Core::cipher(keys, s);
      V previous;
      Hooks::endingWith(chain, previous);
      for (std::size_t i = 0; i < N; ++i) {
        Core::store(this->out + i * sizeof(V), s[i] ^ Hooks::preceding(previous, c[i]));
        previous = c[i];
      }
      chain = Hooks::lastBlock(c[N - 1]);
      this->advance(N * sizeof(V));
    }
  };

  // PCBC decryption: the block decryptions are independent; only the chain
  // (plaintext ^ ciphertext of the block before) is serial.
  struct PcbcDecryptBatches : Cursor {
    const DecryptionKeys& keys;
    Block chain;
    template <class V, std::size_t N>
    UNSEAL_RUN_INLINE void batch() {
      V c[N], s[N];
      for (std::size_t i = 0; i < N; ++i) {
        Core::load(this->in + i * sizeof(V), c[i]);
        s[i] = c[i];
      }
      Core::cipher(keys, s);
      for (std::size_t i = 0; i < N; ++i)
        Core::store(this->out + i * sizeof(V), Hooks::pcbcUnchain(s[i], c[i], chain));
      this->advance(N * sizeof(V));
    }
  };

  // CFB decryption: p[i] = E(c[i-1]) ^ c[i]; every cipher input is known.
  struct CfbDecryptBatches : Cursor {
    const EncryptionKeys& keys;
    Block chain;
    template <class V, std::size_t N>
    UNSEAL_RUN_INLINE void batch() {
      V c[N], s[N], previous;
      Hooks::endingWith(chain, previous);
      for (std::size_t i = 0; i < N; ++i) {
        Core::load(this->in + i * sizeof(V), c[i]);
        s[i] = Hooks::preceding(previous, c[i]);
        previous = c[i];
      }
      Core::cipher(keys, s);
      for (std::size_t i = 0; i < N; ++i) Core::store(this->out + i * sizeof(V), s[i] ^ c[i]);
      chain = Hooks::lastBlock(c[N - 1]);
      this->advance(N * sizeof(V));
    }
  };

  // CTR: out = in ^ E(counter), the counter stepping once per block.
  struct CtrBatches : Cursor {
    const EncryptionKeys& keys;
    Counter& counter;
    template <class V, std::size_t N>
    UNSEAL_RUN_INLINE void batch() {
      V s[N];
      for (std::size_t i = 0; i < N; ++i) Hooks::counters(counter, s[i]);
      Core::cipher(keys, s);
      for (std::size_t i = 0; i < N; ++i) {
        V text;
        Core::load(this->in + i * sizeof(V), text);
        Core::store(this->out + i * sizeof(V), s[i] ^ text);
      }
      this->advance(N * sizeof(V));
    }
  };

  // CFB8 decryption's keystream: the first byte of E(window) for the windows
  // starting at each of 16 consecutive bytes.
  struct Cfb8Keystream {
    const EncryptionKeys& keys;
    const std::uint8_t* windows;
    std::uint8_t* keystream;
    template <class V, std::size_t N>
    UNSEAL_RUN_INLINE void batch() {
      V s[N];
      for (std::size_t i = 0; i < N; ++i) Hooks::loadWindows(windows + i * kBlocks<V>, s[i]);
      Core::cipher(keys, s);
      for (std::size_t i = 0; i < N; ++i) Hooks::firstBytes(s[i], keystream + i * kBlocks<V>);
      windows += N * kBlocks<V>;
      keystream += N * kBlocks<V>;
    }
  };

  // CFB8's shift register and the ciphertext after it, and one keystream
  // byte per ciphertext byte; wiped when the run ends.
  struct Cfb8State {
    std::uint8_t bytes[32] = {};
    std::uint8_t keystream[16] = {};
    UNSEAL_RUN_INLINE ~Cfb8State() { secureWipe(this, sizeof *this); }
  };

  UNSEAL_RUN_CODE static void ecbEncrypt(const std::uint8_t* key, std::uint8_t*, const std::uint8_t* in,
                                         std::uint8_t* out, std::size_t length) noexcept {
    const EncryptionKeys keys(key);
    EcbBatches<EncryptionKeys> kernel{{in, out}, keys};
    Core::inBatches(kernel, length / 16);
  }

  UNSEAL_RUN_CODE static void ecbDecrypt(const std::uint8_t* scheduleEnd, std::uint8_t*,
                                         const std::uint8_t* in, std::uint8_t* out,
                                         std::size_t length) noexcept {
    const DecryptionKeys keys(scheduleEnd);
    EcbBatches<DecryptionKeys> kernel{{in, out}, keys};
    Core::inBatches(kernel, length / 16);
  }

  // The decryptions that chain through the block before: the chain starts
  // as the IV and is left in it.
  template <class Kernel, class Keys>
  UNSEAL_RUN_INLINE static void chained(const std::uint8_t* key, std::uint8_t* iv, const std::uint8_t* in,
                                        std::uint8_t* out, std::size_t length) {
    const Keys keys(key);
    Kernel kernel{{in, out}, keys, {}};
    Core::load(iv, kernel.chain);
    Core::inBatches(kernel, length / 16);
    Core::store(iv, kernel.chain);
  }

  UNSEAL_RUN_CODE static void cbcDecrypt(const std::uint8_t* scheduleEnd, std::uint8_t* iv,
                                         const std::uint8_t* in, std::uint8_t* out,
                                         std::size_t length) noexcept {
    chained<CbcDecryptBatches, DecryptionKeys>(scheduleEnd, iv, in, out, length);
  }

  UNSEAL_RUN_CODE static void pcbcDecrypt(const std::uint8_t* scheduleEnd, std::uint8_t* iv,
                                          const std::uint8_t* in, std::uint8_t* out,
                                          std::size_t length) noexcept {
    chained<PcbcDecryptBatches, DecryptionKeys>(scheduleEnd, iv, in, out, length);
  }

  UNSEAL_RUN_CODE static void cfbDecrypt(const std::uint8_t* key, std::uint8_t* iv, const std::uint8_t* in,
                                         std::uint8_t* out, std::size_t length) noexcept {
    chained<CfbDecryptBatches, EncryptionKeys>(key, iv, in, out, length);
  }

  UNSEAL_RUN_CODE static void ctrCrypt(const std::uint8_t* key, std::uint8_t* iv, const std::uint8_t* in,
                                       std::uint8_t* out, std::size_t length) noexcept {
    const EncryptionKeys keys(key);
    Counter counter(iv);
    CtrBatches kernel{{in, out}, keys, counter};
    Core::inBatches(kernel, length / 16);
    counter.store(iv);
  }

  // Byte i's window is the 16 ciphertext bytes before it (the IV's bytes
  // first), so all of a batch's windows are known before it is decrypted.
  UNSEAL_RUN_CODE static void cfb8Decrypt(const std::uint8_t* key, std::uint8_t* iv, const std::uint8_t* in,
                                          std::uint8_t* out, std::size_t length) noexcept {
    const EncryptionKeys keys(key);
    Cfb8State state;
    std::memcpy(state.bytes, iv, 16);
    for (std::size_t done = 0; done < length; done += 16) {
      const std::size_t n = length - done < 16 ? length - done : 16;
      std::memcpy(state.bytes + 16, in + done, n);
      Cfb8Keystream kernel{keys, state.bytes, state.keystream};
      Core::inBatches(kernel, 16);
      for (std::size_t i = 0; i < n; ++i) {
        out[done + i] = static_cast<std::uint8_t>(state.bytes[16 + i] ^ state.keystream[i]);
      }
      std::memmove(state.bytes, state.bytes + n, 16);
    }
    std::memcpy(iv, state.bytes, 16);
  }

  // The serial modes: each block's cipher input needs the block before. They
  // carry the next input whitened (XORed with round key 0) and fold what the
  // next block adds to the cipher's output into the last round key (finish),
  // so that one block's last round leads into the next block's first with no
  // XOR in between: E(x) ^ m = finish(whiten(x), m).
  UNSEAL_RUN_CODE static void cbcEncrypt(const std::uint8_t* key, std::uint8_t* iv, const std::uint8_t* in,
                                         std::uint8_t* out, std::size_t length) noexcept {
    if (length == 0) return;  // the first block is read ahead
    const EncryptionKeys keys(key);
    Block chain, text, next;
    Core::load(iv, chain);
    Core::load(in, text);
    Block state = Hooks::whiten(keys, chain ^ text);
    for (std::size_t i = 0; i < length; i += 16) {
      Block mask{};  // the next block's plaintext, whitened; nothing after the last
      if (i + 16 < length) {
        Core::load(in + i + 16, next);
        mask = Hooks::whiten(keys, next);
      }
      state = Hooks::finish(keys, state, mask);
      Core::store(out + i, state ^ mask);
    }
    Core::store(iv, state);
  }

  // The chain is the previous plaintext ^ ciphertext.
  UNSEAL_RUN_CODE static void pcbcEncrypt(const std::uint8_t* key, std::uint8_t* iv, const std::uint8_t* in,
                                          std::uint8_t* out, std::size_t length) noexcept {
    if (length == 0) return;
    const EncryptionKeys keys(key);
    Block chain, text, next;
    Core::load(iv, chain);
    Core::load(in, text);
    Block state = Hooks::whiten(keys, chain ^ text);
    for (std::size_t i = 0;; i += 16) {
      const bool last = i + 16 >= length;
      Block mask{};  // the next plaintext ^ this one, whitened
      if (!last) {
        Core::load(in + i + 16, next);
        mask = Hooks::whiten(keys, next ^ text);
      }
      state = Hooks::finish(keys, state, mask);
      Core::store(out + i, state ^ mask);
      if (last) break;
      text = next;
    }
    Core::store(iv, state ^ text);
  }

  UNSEAL_RUN_CODE static void cfbEncrypt(const std::uint8_t* key, std::uint8_t* iv, const std::uint8_t* in,
                                         std::uint8_t* out, std::size_t length) noexcept {
    const EncryptionKeys keys(key);
    Block state, text;
    Core::load(iv, state);
    state = Hooks::whiten(keys, state);
    for (std::size_t i = 0; i < length; i += 16) {
      Core::load(in + i, text);
      state = Hooks::finish(keys, state, Hooks::whiten(keys, text));  // the ciphertext, whitened
      Core::store(out + i, Hooks::whiten(keys, state));
    }
    Core::store(iv, Hooks::whiten(keys, state));
  }

  UNSEAL_RUN_CODE static void ofbCrypt(const std::uint8_t* key, std::uint8_t* iv, const std::uint8_t* in,
                                       std::uint8_t* out, std::size_t length) noexcept {
    const EncryptionKeys keys(key);
    const Block firstKey = Hooks::whiten(keys, Block{});
    Block state, text;
    Core::load(iv, state);
    state = Hooks::whiten(keys, state);
    for (std::size_t i = 0; i < length; i += 16) {
      state = Hooks::finish(keys, state, firstKey);  // the keystream, whitened
      Core::load(in + i, text);
      Core::store(out + i, text ^ Hooks::whiten(keys, state));
    }
    Core::store(iv, Hooks::whiten(keys, state));
  }

  UNSEAL_RUN_CODE static void cfb8Encrypt(const std::uint8_t* key, std::uint8_t* iv, const std::uint8_t* in,
                                          std::uint8_t* out, std::size_t length) noexcept {
    const EncryptionKeys keys(key);
    Block shiftRegister;
    Core::load(iv, shiftRegister);
    for (std::size_t i = 0; i < length; ++i) {
      const auto c = static_cast<std::uint8_t>(in[i] ^ Hooks::firstByte(Hooks::encrypt(keys, shiftRegister)));
      out[i] = c;
      shiftRegister = Hooks::shiftIn(shiftRegister, c);
    }
    Core::store(iv, shiftRegister);
  }

  static constexpr RunTable table() {
    RunTable runs{};
    runs[EcbEncrypt] = ecbEncrypt;
    runs[EcbDecrypt] = ecbDecrypt;
    runs[CbcEncrypt] = cbcEncrypt;
    runs[CbcDecrypt] = cbcDecrypt;
    runs[PcbcEncrypt] = pcbcEncrypt;
    runs[PcbcDecrypt] = pcbcDecrypt;
    runs[CfbEncrypt] = cfbEncrypt;
    runs[CfbDecrypt] = cfbDecrypt;
    runs[Cfb8Encrypt] = cfb8Encrypt;
    runs[Cfb8Decrypt] = cfb8Decrypt;
    runs[OfbCrypt] = ofbCrypt;
    runs[CtrCrypt] = ctrCrypt;
    return runs;
  }
};

}  // namespace
}  // namespace unseal::detail
