// The library against OpenSSL's EVP interface, mode by mode and in both
// directions, through one of three interfaces (--api):
//
//   text    encryptText / decryptText against EVP_CipherInit_ex +
//           EVP_CipherUpdate + EVP_CipherFinal_ex (padding off) on the same
//           text, each side making a new std::string holding its result, as a
//           caller of either would.
//   buffer  encryptInto / decryptInto against EVP_CipherInit_ex (the IV only:
//           both sides install their keys before the clock) + EVP_CipherUpdate
//           + EVP_CipherFinal_ex, both writing into one caller-owned buffer
//           that serves every round.
//   stream  encryptStream / decryptStream against a plain EVP loop: the IV at
//           the head of the stream as the library lays it out (written before
//           encryptStream, read by decryptStream; none in ECB), then
//           in.read of 64 KiB, EVP_CipherUpdate in place, out.write, and
//           EVP_CipherFinal_ex. Both sides read one std::istringstream and
//           write one std::ostringstream built over a string of the output's
//           full size, both rewound after every run, so neither pays for the
//           output's growth.
//
// Buffer and stream runs must not allocate on either side: a run that does
// stops the program. Before timing, both sides run once and must write the
// same bytes (except in CTR: the library's counter counts from byte 0 and
// OpenSSL's from byte 15, which moves no work). PCBC has no OpenSSL
// counterpart. Every transform runs with noPadding on, so the outputs are as
// long as the inputs, plus the IV in an encrypted stream.
//
// The two sides alternate, round after round and each first in every other
// round, so that both see the same machine load; the table gives the median
// throughput of each and their ratio, with the fastest and slowest round in
// brackets, then the median of the rounds' own ratios with the lowest and
// highest. Results come from a warm heap: glibc is told to keep freed memory
// rather than hand it back, so neither side pays for fresh pages.
//
//   openssl_compare [--api text|buffer|stream|all] [--mib N] [--rounds N] [--impl NAME]
//
// --api defaults to text; --mib to 16 for text and buffer and 32 for stream.
// --impl runs the library on a named AES-256 implementation ("vaes",
// "aes-ni", "vperm", "bitsliced", "portable") instead of the one the process
// picks.
// OPENSSL_ia32cap in the environment steers OpenSSL alone (~0x200000000000000
// masks its AES-NI code).
#include <malloc.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "cipher/aes256_impl.h"
#include "unseal/cipher_engine.h"

namespace {

const std::string kKey = "unseal-bench-key-0123456789abcdef";
const std::string kIv = "0123456789abcdef";
constexpr std::size_t kStreamPiece = 64 * 1024;

// Allocations by this process, counted by the operator new below and by the
// functions OpenSSL is told to allocate with.
std::size_t allocations = 0;

void* countedMalloc(std::size_t n, const char*, int) { return ++allocations, std::malloc(n); }
void* countedRealloc(void* p, std::size_t n, const char*, int) { return ++allocations, std::realloc(p, n); }
void plainFree(void* p, const char*, int) { std::free(p); }

}  // namespace

void* operator new(std::size_t n) {
  ++allocations;
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

struct Mode {
  const char* name;
  std::int32_t mode;
  const EVP_CIPHER* (*evp)();
};

const Mode kModes[] = {
    {"ECB", unseal::ECB, EVP_aes_256_ecb},    {"CBC", unseal::CBC, EVP_aes_256_cbc},
    {"CFB", unseal::CFB, EVP_aes_256_cfb128}, {"CFB8", unseal::CFB8, EVP_aes_256_cfb8},
    {"OFB", unseal::OFB, EVP_aes_256_ofb},    {"CTR", unseal::CTR, EVP_aes_256_ctr},
};

const unsigned char* bytesOf(const std::string& text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

void require(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(what);
}

std::string opensslRun(const EVP_CIPHER* cipher, const std::string& text, bool encrypt) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  std::string out(text.size() + 16, '\0');
  int n1 = 0, n2 = 0;
  auto* o = reinterpret_cast<unsigned char*>(out.data());
  const bool ok =
      EVP_CipherInit_ex(ctx, cipher, nullptr, bytesOf(kKey), bytesOf(kIv), encrypt ? 1 : 0) == 1 &&
      EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
      EVP_CipherUpdate(ctx, o, &n1, bytesOf(text), static_cast<int>(text.size())) == 1 &&
      EVP_CipherFinal_ex(ctx, o + n1, &n2) == 1;
  EVP_CIPHER_CTX_free(ctx);
  require(ok, "OpenSSL refused the run");
  out.resize(static_cast<std::size_t>(n1 + n2));
  return out;
}

// An EVP context holding the key for one direction, padding off; restart
// installs an IV and nothing else, which allocates nothing.
class EvpContext {
 public:
  EvpContext(const EVP_CIPHER* cipher, bool encrypt) : ctx_(EVP_CIPHER_CTX_new()) {
    require(ctx_ != nullptr &&
                EVP_CipherInit_ex(ctx_, cipher, nullptr, bytesOf(kKey), bytesOf(kIv), encrypt ? 1 : 0) == 1 &&
                EVP_CIPHER_CTX_set_padding(ctx_, 0) == 1,
            "OpenSSL refused the key");
  }
  EvpContext(const EvpContext&) = delete;
  EvpContext& operator=(const EvpContext&) = delete;
  ~EvpContext() { EVP_CIPHER_CTX_free(ctx_); }

  void restart(const unsigned char* iv) {
    require(EVP_CipherInit_ex(ctx_, nullptr, nullptr, nullptr, iv, -1) == 1, "OpenSSL refused the IV");
  }
  // in may equal out. Returns the bytes written, Final's included.
  std::size_t update(const unsigned char* in, std::size_t length, unsigned char* out) {
    int n = 0;
    require(EVP_CipherUpdate(ctx_, out, &n, in, static_cast<int>(length)) == 1, "OpenSSL refused the update");
    return static_cast<std::size_t>(n);
  }
  std::size_t finish(unsigned char* out) {
    int n = 0;
    require(EVP_CipherFinal_ex(ctx_, out, &n) == 1, "OpenSSL refused the final block");
    return static_cast<std::size_t>(n);
  }

 private:
  EVP_CIPHER_CTX* ctx_;
};

// One side of a comparison: run does the whole job once and returns the
// bytes it wrote, output shows them, and reset (after the clock) brings
// back what the next run starts from.
struct Side {
  std::function<std::size_t()> run;
  std::function<std::string_view()> output;
  std::function<void()> reset;
};

struct Contest {
  Side library, openssl;
  std::size_t outputBytes;  // what each run must write
  bool mayAllocate;
};

// What one row compares: the library's engine for the mode, set up with
// kKey and kIv, and the texts of the mode.
struct Job {
  const Mode& mode;
  unseal::CipherEngine& engine;
  bool encrypt;
  const std::string& plain;
  const std::string& cipher;  // plain encrypted by the library from kIv, no IV ahead
  const std::string& input() const { return encrypt ? plain : cipher; }
};

Contest textContest(const Job& job) {
  auto kept = std::make_shared<std::string[]>(2);
  auto drop = [kept](int i) { return [kept, i] { std::string().swap(kept[i]); }; };
  auto show = [kept](int i) { return [kept, i] { return std::string_view(kept[i]); }; };
  const Job j = job;
  return {{[j, kept] {
             j.engine.setIv(kIv);
             kept[0] =
                 j.encrypt ? j.engine.encryptText(j.input(), true) : j.engine.decryptText(j.input(), true);
             return kept[0].size();
           },
           show(0), drop(0)},
          {[j, kept] {
             kept[1] = opensslRun(j.mode.evp(), j.input(), j.encrypt);
             return kept[1].size();
           },
           show(1), drop(1)},
          job.plain.size(),
          true};
}

Contest bufferContest(const Job& job) {
  struct State {
    explicit State(const Job& job) : evp(job.mode.evp(), job.encrypt), out(job.plain.size() + 16) {}
    EvpContext evp;
    std::vector<std::uint8_t> out;
    std::size_t written = 0;
  };
  auto s = std::make_shared<State>(job);
  const Job j = job;
  auto show = [s] { return std::string_view(reinterpret_cast<const char*>(s->out.data()), s->written); };
  auto reset = [] {};
  const std::span<const std::uint8_t> in(bytesOf(j.input()), j.input().size());
  return {{[j, s, in] {
             j.engine.setIv(kIv);
             return s->written = j.encrypt ? j.engine.encryptInto(in, s->out, true)
                                           : j.engine.decryptInto(in, s->out, true);
           },
           show, reset},
          {[s, in] {
             s->evp.restart(bytesOf(kIv));
             const std::size_t n = s->evp.update(in.data(), in.size(), s->out.data());
             return s->written = n + s->evp.finish(s->out.data() + n);
           },
           show, reset},
          job.plain.size(),
          false};
}

Contest streamContest(const Job& job) {
  const bool withIv = job.mode.mode != unseal::ECB;
  const std::size_t outputBytes = job.plain.size() + (job.encrypt && withIv ? 16 : 0);
  struct State {
    State(const Job& job, std::string input, std::size_t outputBytes)
        : evp(job.mode.evp(), job.encrypt),
          in(std::move(input)),
          out(std::string(outputBytes, '\0')),
          piece(kStreamPiece) {}
    EvpContext evp;
    std::istringstream in;
    std::ostringstream out;
    std::vector<unsigned char> piece;
    std::size_t written() { return static_cast<std::size_t>(static_cast<std::streamoff>(out.tellp())); }
  };
  auto s = std::make_shared<State>(job, (withIv && !job.encrypt ? kIv : "") + job.input(), outputBytes);
  auto show = [s] { return s->out.view().substr(0, s->written()); };
  auto reset = [s] {
    s->in.clear(), s->in.seekg(0);
    s->out.clear(), s->out.seekp(0);
  };
  const Job j = job;
  return {{[j, s, withIv] {
             if (j.encrypt) {
               j.engine.setIv(kIv);
               if (withIv) s->out.write(kIv.data(), 16);
               j.engine.encryptStream(s->in, s->out, true);
             } else {
               j.engine.decryptStream(s->in, s->out, true);
             }
             return s->written();
           },
           show, reset},
          {[j, s, withIv] {
             unsigned char iv[16];
             std::memcpy(iv, kIv.data(), 16);
             if (withIv && j.encrypt) s->out.write(kIv.data(), 16);
             if (withIv && !j.encrypt)
               require(!!s->in.read(reinterpret_cast<char*>(iv), 16), "no IV in the input");
             s->evp.restart(iv);
             auto* piece = s->piece.data();
             while (s->in.read(reinterpret_cast<char*>(piece), kStreamPiece), s->in.gcount() > 0) {
               const std::size_t n = s->evp.update(piece, static_cast<std::size_t>(s->in.gcount()), piece);
               s->out.write(reinterpret_cast<const char*>(piece), static_cast<std::streamsize>(n));
             }
             const std::size_t n = s->evp.finish(piece);
             s->out.write(reinterpret_cast<const char*>(piece), static_cast<std::streamsize>(n));
             require(!s->out.fail(), "the output stream failed");
             return s->written();
           },
           show, reset},
          outputBytes,
          false};
}

struct Api {
  const char* name;
  std::size_t defaultMib;
  const char* what;
  Contest (*contest)(const Job&);
};

const Api kApis[] = {
    {"text", 16, "encryptText / decryptText, each side making a new std::string", textContest},
    {"buffer", 16, "encryptInto / decryptInto, both sides into one reused buffer", bufferContest},
    {"stream", 32, "encryptStream / decryptStream against a 64 KiB EVP loop, string streams", streamContest},
};

double secondsOf(const Side& side, std::size_t expectedBytes, bool mayAllocate) {
  const std::size_t allocationsBefore = allocations;
  const auto start = std::chrono::steady_clock::now();
  const std::size_t written = side.run();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const bool allocated = allocations != allocationsBefore;
  side.reset();
  require(written == expectedBytes, "wrong output length");
  require(mayAllocate || !allocated, "a run allocated inside the timed region");
  return seconds;
}

// Runs each side once, untimed, and compares what they wrote.
bool sidesAgree(const Contest& contest) {
  const auto runOnce = [&contest](const Side& side) {
    require(side.run() == contest.outputBytes, "wrong output length");
    std::string written(side.output());
    side.reset();
    return written;
  };
  return runOnce(contest.library) == runOnce(contest.openssl);
}

struct Summary {
  double median, low, high;  // MB/s
};

Summary summarise(std::vector<double> seconds, std::size_t bytes) {
  std::sort(seconds.begin(), seconds.end());
  const auto rate = [bytes](double s) { return static_cast<double>(bytes) / s / 1e6; };
  return {rate(seconds[seconds.size() / 2]), rate(seconds.back()), rate(seconds.front())};
}

void compareRounds(const Job& job, const Contest& contest, int rounds) {
  const std::size_t bytes = job.plain.size();
  std::vector<double> library, openssl, ratios;  // ratios: each round's library / OpenSSL speed
  for (int r = 0; r < rounds; ++r) {
    const auto runLibrary = [&] {
      library.push_back(secondsOf(contest.library, contest.outputBytes, contest.mayAllocate));
    };
    const auto runOpenssl = [&] {
      openssl.push_back(secondsOf(contest.openssl, contest.outputBytes, contest.mayAllocate));
    };
    if (r % 2 == 0) {
      runLibrary(), runOpenssl();
    } else {
      runOpenssl(), runLibrary();
    }
    ratios.push_back(openssl.back() / library.back());
  }
  const Summary lib = summarise(library, bytes), ssl = summarise(openssl, bytes);
  std::sort(ratios.begin(), ratios.end());
  std::printf("| %s | %s | %.0f [%.0f, %.0f] | %.0f [%.0f, %.0f] | %.2f | %.2f [%.2f, %.2f] |\n",
              job.mode.name, job.encrypt ? "encrypt" : "decrypt", lib.median, lib.low, lib.high, ssl.median,
              ssl.low, ssl.high, lib.median / ssl.median, ratios[ratios.size() / 2], ratios.front(),
              ratios.back());
  std::fflush(stdout);
}

void compareApi(const Api& api, const unseal::detail::Aes256Impl& impl, std::size_t mib, int rounds) {
  const std::size_t bytes = mib << 20;
  std::string plain(bytes, '\0');
  for (std::size_t i = 0; i < bytes; ++i) plain[i] = static_cast<char>((i * 131 + 7) >> 3);

  std::printf("%s: %s\nlibrary on %s, %zu MiB, medians of %d rounds, MB/s [slowest, fastest]\n\n", api.name,
              api.what, impl.name, mib, rounds);
  std::printf(
      "| mode | direction | library | OpenSSL | library / OpenSSL | per round: median [lowest, highest] "
      "|\n|---|---|---|---|---|---|\n");
  for (const Mode& m : kModes) {
    unseal::CipherEngine engine =
        unseal::detail::boundTo(impl, unseal::CipherEngine(kKey, m.mode, unseal::PKCS7));
    engine.setIv(kIv);
    const std::string cipher = engine.encryptText(plain, true);
    for (const bool encrypt : {true, false}) {
      const Job job{m, engine, encrypt, plain, cipher};
      const Contest contest = api.contest(job);
      require(sidesAgree(contest) || m.mode == unseal::CTR,
              (std::string(m.name) + (encrypt ? " encrypt" : " decrypt") + ": the two disagree").c_str());
      compareRounds(job, contest, rounds);
    }
  }
  std::printf("\n");
}

const unseal::detail::Aes256Impl& implementationNamed(const char* name) {
  for (const auto* impl : unseal::detail::aes256Impls()) {
    if (std::strcmp(impl->name, name) == 0 &&
        unseal::detail::cpuRuns(unseal::detail::cpuFeatures(), impl->needs))
      return *impl;
  }
  throw std::runtime_error(std::string("no implementation here named ") + name);
}

}  // namespace

int main(int argc, char** argv) try {
  // Before OpenSSL's first allocation, which the call would otherwise refuse.
  require(CRYPTO_set_mem_functions(countedMalloc, countedRealloc, plainFree) == 1,
          "OpenSSL kept its own allocator");
  std::size_t mib = 0;  // 0: each interface's default
  int rounds = 7;
  std::string apiName = "text";
  const unseal::detail::Aes256Impl* impl = &unseal::detail::chosenAes256Impl();
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--mib") == 0) mib = std::strtoul(argv[i + 1], nullptr, 10);
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--impl") == 0) impl = &implementationNamed(argv[i + 1]);
    if (std::strcmp(argv[i], "--api") == 0) apiName = argv[i + 1];
  }
  mallopt(M_MMAP_THRESHOLD, 32 << 20);  // glibc's largest: texts of up to 32 MiB on the heap
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  bool known = false;
  for (const Api& api : kApis) {
    if (apiName != "all" && apiName != api.name) continue;
    known = true;
    compareApi(api, *impl, mib == 0 ? api.defaultMib : mib, rounds);
  }
  require(known, "--api takes text, buffer, stream or all");
  return 0;
} catch (const std::exception& e) {
  std::fprintf(stderr, "openssl_compare: %s\n", e.what());
  return 1;
}
