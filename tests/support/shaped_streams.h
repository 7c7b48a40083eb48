// Streams of set shapes for comparing the bulk stream transforms with the
// block-by-block ones (cipher/cipher_stream_reference.h): an input that hands
// out its bytes a few at a time and ends, pauses or fails at a set offset, an
// output that refuses bytes past a set count, and what a transform leaves
// behind on them. Used by the stream tests and the stream fuzz target.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <istream>
#include <ostream>
#include <stdexcept>
#include <streambuf>
#include <string>

#include "cipher/cipher_stream_reference.h"
#include "unseal/cipher_engine.h"

namespace unseal::test {

// How a ShapedInput stops at its stop offset. The promised ones claim through
// in_avail that every byte up to their end is ready, as a file buffer over a
// regular file does, and then break that promise.
enum class Ending { End, EndPromised, Pause, PausePromised, Throw, ThrowPromised };

// An input that hands out at most `chunk` bytes per fetch and at `stop` ends,
// returns end-of-file once and then goes on (Pause), or throws on every fetch.
class ShapedInput : public std::streambuf {
 public:
  ShapedInput(std::string bytes, std::size_t chunk, std::size_t stop, Ending ending)
      : bytes_(std::move(bytes)), chunk_(chunk), stop_(stop), ending_(ending) {
    setg(bytes_.data(), bytes_.data(), bytes_.data());
  }
  std::size_t consumed() const { return static_cast<std::size_t>(gptr() - eback()); }

 protected:
  int_type underflow() override {
    const std::size_t at = consumed();
    if (at == stop_ && !paused_) {
      if (ending_ == Ending::Throw || ending_ == Ending::ThrowPromised)
        throw std::runtime_error("device error");
      paused_ = ending_ == Ending::Pause || ending_ == Ending::PausePromised;
      return traits_type::eof();
    }
    const std::size_t end = at < stop_ ? stop_ : bytes_.size();
    if (at == end) return traits_type::eof();
    setg(eback(), gptr(), gptr() + std::min(chunk_, end - at));
    return traits_type::to_int_type(*gptr());
  }
  std::streamsize showmanyc() override {
    const bool promised = ending_ == Ending::EndPromised || ending_ == Ending::PausePromised ||
                          ending_ == Ending::ThrowPromised;
    return promised ? static_cast<std::streamsize>(bytes_.size() - consumed()) : 0;
  }

 private:
  std::string bytes_;
  std::size_t chunk_, stop_;
  Ending ending_;
  bool paused_ = false;
};

// An output that takes `limit` bytes and refuses the rest (the transforms
// write with write(), which hands whole runs of bytes to xsputn).
class LimitedOutput : public std::streambuf {
 public:
  explicit LimitedOutput(std::size_t limit) : limit_(limit) {}
  std::string taken;

 protected:
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    const std::size_t count = std::min(static_cast<std::size_t>(n), limit_ - taken.size());
    taken.append(s, count);
    return static_cast<std::streamsize>(count);
  }

 private:
  std::size_t limit_;
};

// length: the bytes the input holds.
struct StreamShape {
  std::size_t length, stop, chunk;
  Ending ending;
  std::size_t outputLimit = SIZE_MAX;
  std::ios::iostate entryState = std::ios::goodbit;
};
struct StreamOutcome {
  std::string written, error, iv;
  std::ios::iostate inState;
  bool outBad;
  std::size_t consumed;
  bool operator==(const StreamOutcome&) const = default;
};

using StreamTransform = std::ostream& (*)(CipherEngine&, std::istream&, std::ostream&, bool);

// One transform on a fresh input and output of this shape, on a copy of the engine.
inline StreamOutcome runShaped(CipherEngine engine, StreamTransform transform, const std::string& bytes,
                               const StreamShape& shape, bool noPadding) {
  ShapedInput source(bytes, shape.chunk, shape.stop, shape.ending);
  LimitedOutput sink(shape.outputLimit);
  std::istream in(&source);
  std::ostream out(&sink);
  if (shape.entryState != std::ios::goodbit) {
    in.peek();  // a failed input may still hold fetched bytes; they are not to be read
    in.setstate(shape.entryState);
  }
  StreamOutcome outcome;
  try {
    transform(engine, in, out, noPadding);
  } catch (const std::invalid_argument& e) {
    outcome.error = e.what();
  }
  outcome.written = std::move(sink.taken);
  outcome.iv = engine.getIv();
  outcome.inState = in.rdstate();
  outcome.outBad = out.bad();
  outcome.consumed = source.consumed();
  return outcome;
}

// The bulk transforms and the block-by-block ones they must equal.
inline const struct {
  bool encrypt;
  StreamTransform bulk, reference;
} kStreamDirections[] = {
    {true,
     [](CipherEngine& e, std::istream& in, std::ostream& out, bool noPadding) -> std::ostream& {
       return e.encryptStream(in, out, noPadding);
     },
     &detail::StreamReference::encrypt},
    {false,
     [](CipherEngine& e, std::istream& in, std::ostream& out, bool noPadding) -> std::ostream& {
       return e.decryptStream(in, out, noPadding);
     },
     &detail::StreamReference::decrypt},
};

}  // namespace unseal::test
