// Stream transforms in pieces. The whole blocks the input has already
// fetched into its buffer are taken up to a piece at a time (taking them
// cannot fail), run through the mode in place and written with one write.
// When the input has to fetch more, the next block is read on its own into
// the working block, exactly as the block-by-block transforms
// (cipher/cipher_stream_reference.h) read every block: an input that ends or
// fails there leaves the same bytes written, the same chaining state and the
// same error as theirs. The piece and the working block wipe themselves
// however the call ends, and the copies that reading and writing leave in the
// vector registers are cleared.
#include <algorithm>
#include <cstring>
#include <istream>
#include <ostream>
#include <stdexcept>

#include "cipher/cipher_stream_reference.h"
#include "unseal/cipher_engine.h"
#include "unseal/errors.h"

namespace unseal {
namespace {

using detail::streams::atEndOfInput;
using detail::streams::checkNotBad;
using detail::streams::readBlock;
using detail::streams::writeBytes;

// How many bytes an input has fetched and holds in its buffer: reading them
// only copies memory. (gptr and egptr are protected; pointers to them taken
// through a class derived from std::streambuf apply to any stream buffer.)
struct FetchedBytes : std::streambuf {
  static std::size_t of(std::istream& in) {
    const std::streambuf* buffer = in.rdbuf();
    if (buffer == nullptr || !in.good()) return 0;
    return static_cast<std::size_t>((buffer->*&FetchedBytes::egptr)() - (buffer->*&FetchedBytes::gptr)());
  }
};

// Whole blocks of the stream on the stack; what was used is wiped on the way out.
class Piece {
 public:
  Piece() = default;
  Piece(const Piece&) = delete;
  Piece& operator=(const Piece&) = delete;
  ~Piece() { secureWipe(bytes_, used_); }

  // Reads the next whole blocks and returns their byte count, 0 when the
  // block read that the input's next fetch needs delivers no whole block:
  // the working block then holds that short read, its count as fill length.
  std::size_t fill(std::istream& in, Block16& work) {
    std::size_t got = takeFetched(in, 0);
    if (got == 0) {
      if (!readBlock(in, work)) return 0;
      std::memcpy(bytes_, work.data(), 16);
      got = 16 + takeFetched(in, 16);
    }
    used_ = std::max(used_, got);
    return got;
  }

  std::uint8_t* data() noexcept { return bytes_; }
  // The working block as the block reads leave it: the last block's result.
  void keepLastBlock(std::size_t got, Block16& work) const noexcept {
    std::memcpy(work.data(), bytes_ + got - 16, 16);
  }

 private:
  static constexpr std::size_t kSize = detail::kStreamPieceBytes;

  // The whole blocks among the bytes the input has fetched, up to the room left.
  std::size_t takeFetched(std::istream& in, std::size_t offset) {
    const std::size_t take = std::min(FetchedBytes::of(in), kSize - offset) / 16 * 16;
    if (take > 0) in.read(reinterpret_cast<char*>(bytes_ + offset), static_cast<std::streamsize>(take));
    return take;
  }

  alignas(64) std::uint8_t bytes_[kSize];
  std::size_t used_ = 0;
};

}  // namespace

std::ostream& CipherEngine::encryptStream(std::istream& in, std::ostream& out, bool noPadding) {
  if (in.fail() || out.fail()) throw std::invalid_argument(kBadStreamsMessage);
  const RegistersClearedOnExit cleared;
  drawIvIfAutomatic();
  Piece piece;
  Block16 work;  // the last block's result; at the end, the short final read over it
  for (std::size_t got; (got = piece.fill(in, work)) != 0;) {
    encryptRun(piece.data(), got);
    writeBytes(out, piece.data(), got);
    piece.keepLastBlock(got, work);
  }

  const std::uint64_t r = work.fillLength();
  if (modePads_) {
    if (r != 0 || !noPadding) {
      work.pad(r);
      (this->*encryptOp_)(work);
      writeBytes(out, work.data(), 16);
    }
  } else {
    // Runs even for r == 0: nothing is written but the chaining state moves on.
    (this->*encryptOp_)(work);
    writeBytes(out, work.data(), r);
  }
  checkNotBad(in, out);
  return out;
}

std::ostream& CipherEngine::decryptStream(std::istream& in, std::ostream& out, bool noPadding) {
  // An input that only failed is read as an empty one; an output that failed
  // would take nothing, so the call would report success having written none.
  if (in.bad() || out.fail()) throw std::invalid_argument(kBadStreamsMessage);
  const RegistersClearedOnExit cleared;
  if (mode_ != ECB) {
    in.read(reinterpret_cast<char*>(iv_.data()), 16);
    if (in.fail()) throw std::invalid_argument(kBadInputMessage);
  }
  Piece piece;
  Block16 work;
  const bool stripFinal = modePads_ && !noPadding;
  for (std::size_t got; (got = piece.fill(in, work)) != 0;) {
    decryptRun(piece.data(), got);
    // The last block of a piece is the final one when the input ends behind
    // it; peek at the end also sets end-of-file, so the next read ends the loop.
    const bool final = stripFinal && atEndOfInput(in);
    writeBytes(out, piece.data(), final ? got - 16 : got);
    piece.keepLastBlock(got, work);
    if (final) writeBytes(out, work.data(), work.unpaddedLength());
  }

  const std::uint64_t r = work.fillLength();
  if (r != 0) {
    if (modePads_) throw std::invalid_argument(kBadInputMessage);
    (this->*decryptOp_)(work);
    writeBytes(out, work.data(), r);
  }
  checkNotBad(in, out);
  return out;
}

}  // namespace unseal
