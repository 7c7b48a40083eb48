// Stream transforms in pieces. The whole blocks the input holds ready are
// read up to a piece at a time, run through the mode in place and written
// with one write. When the input has to fetch more, the next block is read
// on its own into the working block, exactly as the block-by-block
// transforms (cipher/cipher_stream_reference.h) read every block: an input
// that ends or fails there leaves the same bytes written, the same chaining
// state and the same error as theirs. The piece and the working block wipe
// themselves however the call ends, and the copies that reading and writing
// leave in the vector registers are cleared.
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

// Reads up to 16 bytes into the block and records how many arrived as its
// fill length. True when a whole block arrived.
bool readBlock(std::istream& in, Block16& block) {
  in.read(reinterpret_cast<char*>(block.data()), 16);
  block.setFillLength(static_cast<std::uint64_t>(in.gcount()));
  return !in.fail();
}

void writeBytes(std::ostream& out, const std::uint8_t* bytes, std::uint64_t count) {
  out.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(count));
}

void checkNotBad(const std::istream& in, const std::ostream& out) {
  if (in.bad() || out.bad()) throw std::invalid_argument(kBadStreamsMessage);
}

// True at the real end of the input. peek also answers end-of-file when the
// read behind it failed, and then leaves the stream bad: that block is not
// the final one, and the read error is reported when the loop ends.
bool atEndOfInput(std::istream& in) { return in.peek() == std::istream::traits_type::eof() && !in.bad(); }

// Whole blocks of the stream on the stack; what was used is wiped on the way out.
class Piece {
 public:
  Piece() = default;
  Piece(const Piece&) = delete;
  Piece& operator=(const Piece&) = delete;
  ~Piece() { secureWipe(bytes_, used_); }

  // Reads the next whole blocks and returns their byte count. When the
  // input fails instead, the working block takes the short read with its
  // count as fill length. 0 only when the input has failed.
  std::size_t fill(std::istream& in, Block16& work) {
    std::size_t got = readReady(in, 0, work);
    if (got == 0 && !in.fail() && readBlock(in, work)) {
      std::memcpy(bytes_, work.data(), 16);
      got = 16 + readReady(in, 16, work);
    }
    used_ = std::max(used_, got);
    return got;
  }

  std::uint8_t* data() noexcept { return bytes_; }
  // Leaves the working block as the block reads leave theirs: the result of
  // the piece's last block, under the bytes of a short read behind it.
  void keepLastBlock(std::size_t got, bool readFailed, Block16& work) const noexcept {
    const std::size_t shortRead = readFailed ? work.fillLength() : 0;
    std::memcpy(work.data() + shortRead, bytes_ + got - 16 + shortRead, 16 - shortRead);
  }

 private:
  static constexpr std::size_t kSize = detail::kStreamPieceBytes;

  // Whole blocks from the bytes the input holds ready, which in_avail
  // promises arrive without a fetch that could fail. A stream that breaks the
  // promise ends here: the short read goes into the working block, over its
  // bytes as a block read would.
  std::size_t readReady(std::istream& in, std::size_t offset, Block16& work) {
    std::streambuf* buffer = in.rdbuf();
    const std::streamsize ready = buffer == nullptr ? 0 : buffer->in_avail();
    const std::size_t room = kSize - offset;
    if (ready < 16 || room == 0) return 0;
    const std::size_t take = std::min(static_cast<std::size_t>(ready), room) / 16 * 16;
    in.read(reinterpret_cast<char*>(bytes_ + offset), static_cast<std::streamsize>(take));
    const auto count = static_cast<std::size_t>(in.gcount());
    const std::size_t whole = count / 16 * 16;
    if (in.fail()) {
      std::memcpy(work.data(), bytes_ + offset + whole, count - whole);
      work.setFillLength(count - whole);
      used_ = std::max(used_, offset + count);
    }
    return whole;
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
  do {
    const std::size_t got = piece.fill(in, work);
    if (got == 0) break;
    encryptRun(piece.data(), got);
    writeBytes(out, piece.data(), got);
    piece.keepLastBlock(got, in.fail(), work);
  } while (!in.fail());

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
  do {
    const std::size_t got = piece.fill(in, work);
    if (got == 0) break;
    decryptRun(piece.data(), got);
    // The last block of a piece is the final one when the input ends behind
    // it: a read that stopped right behind it found the end (an input that
    // promised more bytes than it had), or else the peek finds it, which also
    // sets end-of-file, so the next read ends the loop.
    const bool readEnded = in.fail();
    const bool tail = readEnded && work.fillLength() != 0;  // work holds the bytes behind the blocks
    const bool final = stripFinal && !in.bad() && !tail && (readEnded || atEndOfInput(in));
    writeBytes(out, piece.data(), final ? got - 16 : got);
    piece.keepLastBlock(got, readEnded, work);
    // A read that found the end stands for the peek, and leaves the input as
    // the peek would: at its end, not failed; the next read fails it.
    if (final && readEnded) in.clear(std::ios::eofbit);
    if (final) writeBytes(out, work.data(), work.unpaddedLength());
    // A peek that failed left the input bad: the next read, as the block
    // reads make it, finds nothing (no short final block).
    if (!readEnded && in.fail()) readBlock(in, work);
  } while (!in.fail());

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
