// The stream transforms block by block: one 16-byte working block, each
// block written as soon as it is transformed. The working block wipes itself
// however the call ends, and the copies of it that reading and writing leave
// in the vector registers are cleared.
#include "cipher/cipher_stream_reference.h"

#include <istream>
#include <ostream>
#include <stdexcept>

#include "unseal/cipher_engine.h"
#include "unseal/errors.h"

namespace unseal::detail {

bool streams::readBlock(std::istream& in, Block16& block) {
  in.read(reinterpret_cast<char*>(block.data()), 16);
  block.setFillLength(static_cast<std::uint64_t>(in.gcount()));
  return !in.fail();
}

void streams::writeBytes(std::ostream& out, const std::uint8_t* bytes, std::uint64_t count) {
  out.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(count));
}

void streams::checkNotBad(const std::istream& in, const std::ostream& out) {
  if (in.bad() || out.bad()) throw std::invalid_argument(kBadStreamsMessage);
}

bool streams::atEndOfInput(std::istream& in) {
  return in.peek() == std::istream::traits_type::eof() && !in.bad();
}

using namespace streams;

std::ostream& StreamReference::encrypt(CipherEngine& engine, std::istream& in, std::ostream& out,
                                       bool noPadding) {
  if (in.fail() || out.fail()) throw std::invalid_argument(kBadStreamsMessage);
  const RegistersClearedOnExit cleared;
  engine.drawIvIfAutomatic();
  Block16 work;
  while (readBlock(in, work)) {
    (engine.*engine.encryptOp_)(work);
    writeBytes(out, work.data(), 16);
  }
  const std::uint64_t r = work.fillLength();
  if (engine.modePads_) {
    if (r != 0 || !noPadding) {
      work.pad(r);
      (engine.*engine.encryptOp_)(work);
      writeBytes(out, work.data(), 16);
    }
  } else {
    // Runs even for r == 0: nothing is written but the chaining state moves on.
    (engine.*engine.encryptOp_)(work);
    writeBytes(out, work.data(), r);
  }
  checkNotBad(in, out);
  return out;
}

std::ostream& StreamReference::decrypt(CipherEngine& engine, std::istream& in, std::ostream& out,
                                       bool noPadding) {
  // An input that only failed is read as an empty one; an output that failed
  // would take nothing, so the call would report success having written none.
  if (in.bad() || out.fail()) throw std::invalid_argument(kBadStreamsMessage);
  const RegistersClearedOnExit cleared;
  if (engine.mode_ != ECB) {
    in.read(reinterpret_cast<char*>(engine.iv_.data()), 16);
    if (in.fail()) throw std::invalid_argument(kBadInputMessage);
  }
  Block16 work;
  const bool stripFinal = engine.modePads_ && !noPadding;
  while (readBlock(in, work)) {
    (engine.*engine.decryptOp_)(work);
    // peek at the end also sets end-of-file, so the next read ends the loop.
    if (stripFinal && atEndOfInput(in)) {
      std::string last = work.toText(true);
      out.write(last.data(), static_cast<std::streamsize>(last.size()));
      secureWipe(last.data(), last.size());
    } else {
      writeBytes(out, work.data(), 16);
    }
  }
  const std::uint64_t r = work.fillLength();
  if (r != 0) {
    if (engine.modePads_) throw std::invalid_argument(kBadInputMessage);
    (engine.*engine.decryptOp_)(work);
    writeBytes(out, work.data(), r);
  }
  checkNotBad(in, out);
  return out;
}

}  // namespace unseal::detail
