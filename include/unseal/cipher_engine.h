// CipherEngine: AES-256 in one of seven chaining modes, over texts and streams.
//
// An engine binds a key (the first 32 bytes of the key text), a chaining mode
// and the IV the mode chains through. The chaining state lives in the engine
// and carries from one transform call to the next: a second call continues
// where the first stopped, unless setIv installs a new IV in between.
//
// Modes (ChainingMode): ECB, CBC, PCBC pad their output to whole 16-byte
// blocks; CFB (128-bit feedback), CFB8 (8-bit feedback), OFB and CTR produce
// exactly as many bytes as they are given. CTR counts with byte 0 of the
// counter block as its least significant byte (unlike the usual big-endian
// counter block).
//
// Padding (PaddingScheme): PKCS7, ANSIX923, ISO7816_4, Zeros. The scheme is a
// process-wide setting of 16-byte blocks, not a property of the engine: every
// engine construction sets it, and every transform pads and strips with the
// scheme in force when it runs. Construct and use engines on one thread.
//
// Arguments. Modes and schemes are taken as 32-bit integers (callers pass
// stored numbers); the two enumerations swapped, either one given for
// noPadding, or a ChainingMode given to setPadding do not compile.
//
// noPadding: when true, encryption adds no whole padding block after an input
// whose length is a multiple of 16, and decryption strips no padding (the fill
// bytes of a short final block then come back out of decryption). A short
// final block is still filled up in the modes that pad. It changes nothing in
// CFB, CFB8, OFB and CTR.
//
// Zeros cannot be undone exactly: stripping it removes every trailing zero
// byte, the data's own included, and keeps at least one byte, so an empty
// text comes back as one zero byte. Use it only where the length is known
// apart, as with noPadding.
//
// Lengths. decryptText accepts exactly the lengths encryptText produces for the
// same mode and noPadding (ECB, CBC, PCBC: a multiple of 16, 0 only with
// noPadding; CFB, CFB8, OFB, CTR: any) and refuses the others with "Length of
// string to decrypt is incorrect". It reads no IV from its text: it starts
// from the engine's IV, as the encryption it undoes did.
//
// Buffers. encryptInto and decryptInto are the text transforms over the
// caller's memory (spans of std::uint8_t or of std::byte): the same bytes,
// chaining state and errors, no allocation; they return the number of bytes
// written. The output is the input's own memory (in place) or does not
// overlap it; it must hold encryptedLength(input size, noPadding) bytes for
// encryptInto and the input's size for decryptInto, which writes fewer when
// it strips padding.
// A smaller or partly overlapping output is refused before anything changes.
// When decryptInto raises, the output bytes it wrote are zeroed.
//
// IVs. setIv(text of 16+ bytes) installs the IV and turns the automatic IV
// off; setIv("") turns it back on. With the automatic IV on (the default),
// every encryption in a mode other than ECB first draws 16 bytes from the
// engine's CtrRandom into the IV. Only an engine made by withSystemRandomIvs
// draws IVs no one can predict: its generator takes both its key and its
// seed from the kernel's random source. THE CONSTRUCTORS' AUTOMATIC IVs ARE
// PREDICTABLE. Their generator runs under the published defaultRandomKey:
// without a seed every engine draws the same sequence in every run, whatever
// its key; a seed only moves the counter, so a seeded engine's IVs differ from
// an unseeded one's but are not secret, however unpredictable the seed:
// whoever sees one IV decrypts it under that key to the counter and predicts
// every later one, and CBC with predictable IVs falls to chosen-plaintext
// attacks. An application that encrypts takes each message's IV with
// drawIv from an engine made by withSystemRandomIvs, or installs an
// unpredictable IV per message with setIv (systemRandomBytes16 in
// <unseal/system_random.h> gives one), and sends it with the message: an
// IV drawn inside an encryption is not handed back (getIv then gives the
// chaining state). Decryption never draws an IV.
//
// Nothing is rolled back. A decryption that raises "String to decrypt is
// garbled" has passed every block through the mode, so the engine holds the
// chaining state after the last block; to decrypt that text again, or
// another one from the same IV, call setIv first. The same holds for the
// stream transforms and the bytes they consumed before raising.
//
// Streams. decryptStream reads its IV from the first 16 bytes of the input in
// every mode but ECB; encryptStream writes no IV. To make a stream that
// decryptStream reads back, call setIv(iv), write iv to the output yourself,
// then call encryptStream. The stream transforms take the bytes the input
// has already fetched into its buffer, up to 64 KiB at a time, and read 16
// bytes at a time where it must fetch, so their output, chaining state and
// errors are those of a transform reading block by block, wherever the input
// ends or fails. (A file stream's pieces are as large as its buffer.) A
// stream whose exceptions() mask is set raises its own exception out of
// them, with the chaining state wherever the transform stood.
//
// Errors are invalid_argument with these messages: "Key must contain at least
// 32 bytes of data", "Seed must consist of (at least) 16 bytes", "Invalid
// chaining mode requested", "IV must contain at least 16 bytes of data",
// "Length of string to decrypt is incorrect", "String to decrypt is garbled",
// "Bad input or output stream", "Bad input stream", "Output buffer is too
// small", "Output buffer overlaps the input".
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "unseal/aes256.h"
#include "unseal/block.h"
#include "unseal/ctr_random.h"

namespace unseal {

namespace detail {
struct StreamReference;
}

enum ChainingMode : std::int32_t { ECB = 0, CBC = 1, PCBC = 2, CFB = 3, CFB8 = 4, OFB = 5, CTR = 6 };

namespace detail {
template <class T>
concept Enumeration = std::is_enum_v<T>;
}  // namespace detail

class CipherEngine final {
 public:
  // A block operation of a chaining mode: transforms one block in place,
  // keeping the chaining state in the engine's IV.
  using BlockOp = Block16& (CipherEngine::*)(Block16&) noexcept;

  // key: at least 32 bytes; seed: empty or at least 16 bytes (moves the
  // counter of the generator of automatic IVs, which stay predictable: see
  // IVs above); mode: 0..6; padding: stored unchecked as the process-wide
  // 16-byte padding scheme, written last.
  CipherEngine(std::string_view key, std::string_view seed, std::int32_t mode, std::int32_t padding);
  CipherEngine(std::string_view key, std::int32_t mode, std::int32_t padding);
  // Modes and padding schemes are 32-bit integers, so that stored numbers
  // can be passed; a PaddingScheme where the mode goes, or a ChainingMode
  // where the padding goes, does not compile.
  CipherEngine(std::string_view, std::string_view, PaddingScheme, ChainingMode) = delete;
  CipherEngine(std::string_view, std::string_view, PaddingScheme, std::int32_t) = delete;
  CipherEngine(std::string_view, std::string_view, std::int32_t, ChainingMode) = delete;
  CipherEngine(std::string_view, PaddingScheme, ChainingMode) = delete;
  CipherEngine(std::string_view, PaddingScheme, std::int32_t) = delete;
  CipherEngine(std::string_view, std::int32_t, ChainingMode) = delete;
  // An engine whose automatic IVs no one can predict: its generator's key
  // text (32 bytes) and seed (16) come from the kernel's random source
  // (systemRandomFill), and are wiped once the generator holds them. Raises
  // what the constructors raise, and std::system_error if the kernel refuses.
  static CipherEngine withSystemRandomIvs(std::string_view key, std::int32_t mode, std::int32_t padding);
  static CipherEngine withSystemRandomIvs(std::string_view, PaddingScheme, ChainingMode) = delete;
  static CipherEngine withSystemRandomIvs(std::string_view, PaddingScheme, std::int32_t) = delete;
  static CipherEngine withSystemRandomIvs(std::string_view, std::int32_t, ChainingMode) = delete;

  // "" turns the automatic IV on; 16+ bytes install the first 16 and turn it off.
  void setIv(std::string_view text);
  // Draws the next 16 bytes of the engine's generator, installs them as
  // setIv does (the automatic IV off) and returns them, for the caller to send
  // ahead of the ciphertext. An encryption that draws its own IV hands it to
  // no one; this is how withSystemRandomIvs's IVs reach the receiver.
  [[nodiscard]] std::string drawIv();
  // The IV's 16 bytes as they stand: after a transform, the chaining state.
  std::string getIv() const;
  // The 32 key bytes as installed.
  std::string getKey() const;
  bool modePads() const noexcept { return modePads_; }
  static void setPadding(std::int32_t padding) noexcept;
  static void setPadding(ChainingMode) = delete;

  std::string encryptText(std::string_view text, bool noPadding);
  std::string decryptText(std::string_view text, bool noPadding);
  // The output size encryptInto needs, and encryptText returns, for an input
  // of this length.
  std::size_t encryptedLength(std::size_t length, bool noPadding) const noexcept;
  std::size_t encryptInto(std::span<const std::uint8_t> in, std::span<std::uint8_t> out, bool noPadding);
  std::size_t decryptInto(std::span<const std::uint8_t> in, std::span<std::uint8_t> out, bool noPadding);
  std::size_t encryptInto(std::span<const std::byte> in, std::span<std::byte> out, bool noPadding);
  std::size_t decryptInto(std::span<const std::byte> in, std::span<std::byte> out, bool noPadding);
  std::ostream& encryptStream(std::istream& in, std::ostream& out, bool noPadding);
  std::ostream& decryptStream(std::istream& in, std::ostream& out, bool noPadding);
  // noPadding is a bool: an enumeration given for it (PKCS7, say) does not
  // compile.
  std::string encryptText(std::string_view, detail::Enumeration auto) = delete;
  std::string decryptText(std::string_view, detail::Enumeration auto) = delete;
  std::size_t encryptedLength(std::size_t, detail::Enumeration auto) const = delete;
  std::size_t encryptInto(auto&&, auto&&, detail::Enumeration auto) = delete;
  std::size_t decryptInto(auto&&, auto&&, detail::Enumeration auto) = delete;
  std::ostream& encryptStream(auto&, auto&, detail::Enumeration auto) = delete;
  std::ostream& decryptStream(auto&, auto&, detail::Enumeration auto) = delete;

  // The block operations of the seven modes.
  Block16& ecbEncrypt(Block16& block) noexcept;
  Block16& ecbDecrypt(Block16& block) noexcept;
  Block16& cbcEncrypt(Block16& block) noexcept;
  Block16& cbcDecrypt(Block16& block) noexcept;
  Block16& pcbcEncrypt(Block16& block) noexcept;
  Block16& pcbcDecrypt(Block16& block) noexcept;
  Block16& cfbEncrypt(Block16& block) noexcept;
  Block16& cfbDecrypt(Block16& block) noexcept;
  Block16& cfb8Encrypt(Block16& block) noexcept;
  Block16& cfb8Decrypt(Block16& block) noexcept;
  Block16& ofbCrypt(Block16& block) noexcept;
  Block16& ctrCrypt(Block16& block) noexcept;

  // Members are destroyed in reverse order, each wiping itself: random_
  // (ring, counter, keys), then aes_ (both keys), then iv_.
  ~CipherEngine() = default;
  CipherEngine(const CipherEngine&) = default;
  CipherEngine& operator=(const CipherEngine&) = default;

 private:
  friend detail::Aes256Internals;  // binds implementations (cipher/aes256_impl.h)
  friend detail::StreamReference;  // the block-by-block streams (cipher/cipher_stream_reference.h)

  // randomKey: the generator's key text, empty for defaultRandomKey.
  CipherEngine(std::string_view key, std::string_view seed, std::string_view randomKey, std::int32_t mode,
               std::int32_t padding);
  void selectMode(std::int32_t mode);
  void drawIvIfAutomatic() noexcept;
  // The mode over whole blocks in place, as its block operation would go
  // through them one by one.
  void encryptRun(std::uint8_t* bytes, std::size_t length) noexcept;
  void decryptRun(std::uint8_t* bytes, std::size_t length) noexcept;

  Block16 iv_;
  Aes256 aes_;
  std::int32_t mode_ = ECB;
  BlockOp encryptOp_ = nullptr;
  BlockOp decryptOp_ = nullptr;
  CtrRandom random_;
  bool autoIv_ = true;
  bool modePads_ = true;
};

}  // namespace unseal
