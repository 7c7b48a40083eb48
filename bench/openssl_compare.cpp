// The library against OpenSSL's EVP interface, mode by mode and in both
// directions, on the same text: encryptText / decryptText on one side,
// EVP_CipherInit_ex + EVP_CipherUpdate + EVP_CipherFinal_ex (padding off) on
// the other. Each side makes a new std::string holding its result, as a
// caller of either would. The two alternate, round after round and each
// first in every other round, so that both see the same machine load; the
// table gives the median throughput of each and their ratio, with the
// fastest and slowest round in brackets, then the median of the rounds' own
// ratios with the lowest and highest. Results
// come from a warm heap: glibc is told to keep freed memory rather than hand
// it back, so neither side pays for fresh pages.
//
//   openssl_compare [--mib N] [--rounds N] [--impl NAME]
//
// --impl runs the library on a named AES-256 implementation ("vaes",
// "aes-ni", "bitsliced", "portable") instead of the one the process picks.
// OPENSSL_ia32cap in the environment steers OpenSSL alone (~0x200000000000000
// masks its AES-NI code).
#include <malloc.h>
#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "cipher/aes256_impl.h"
#include "unseal/cipher_engine.h"

namespace {

const std::string kKey = "unseal-bench-key-0123456789abcdef";
const std::string kIv = "0123456789abcdef";

struct Mode {
  const char* name;
  std::int32_t mode;
  const EVP_CIPHER* (*evp)();
};

// PCBC has no OpenSSL counterpart; the library's CTR counts from byte 0 and
// OpenSSL's from byte 15, which moves no work.
const Mode kModes[] = {
    {"ECB", unseal::ECB, EVP_aes_256_ecb},    {"CBC", unseal::CBC, EVP_aes_256_cbc},
    {"CFB", unseal::CFB, EVP_aes_256_cfb128}, {"CFB8", unseal::CFB8, EVP_aes_256_cfb8},
    {"OFB", unseal::OFB, EVP_aes_256_ofb},    {"CTR", unseal::CTR, EVP_aes_256_ctr},
};

std::string opensslRun(const EVP_CIPHER* cipher, const std::string& text, bool encrypt) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  std::string out(text.size() + 16, '\0');
  int n1 = 0, n2 = 0;
  auto* o = reinterpret_cast<unsigned char*>(out.data());
  const bool ok =
      EVP_CipherInit_ex(ctx, cipher, nullptr, reinterpret_cast<const unsigned char*>(kKey.data()),
                        reinterpret_cast<const unsigned char*>(kIv.data()), encrypt ? 1 : 0) == 1 &&
      EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
      EVP_CipherUpdate(ctx, o, &n1, reinterpret_cast<const unsigned char*>(text.data()),
                       static_cast<int>(text.size())) == 1 &&
      EVP_CipherFinal_ex(ctx, o + n1, &n2) == 1;
  EVP_CIPHER_CTX_free(ctx);
  if (!ok) throw std::runtime_error("OpenSSL refused the run");
  out.resize(static_cast<std::size_t>(n1 + n2));
  return out;
}

double secondsOf(const std::function<std::string()>& run, std::size_t expectedSize) {
  const auto start = std::chrono::steady_clock::now();
  const std::string out = run();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (out.size() != expectedSize) throw std::runtime_error("wrong output length");
  return seconds;
}

struct Summary {
  double median, low, high;  // MB/s
};

Summary summarise(std::vector<double> seconds, std::size_t bytes) {
  std::sort(seconds.begin(), seconds.end());
  const auto rate = [bytes](double s) { return static_cast<double>(bytes) / s / 1e6; };
  return {rate(seconds[seconds.size() / 2]), rate(seconds.back()), rate(seconds.front())};
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

int main(int argc, char** argv) {
  std::size_t mib = 16;
  int rounds = 7;
  const unseal::detail::Aes256Impl* impl = &unseal::detail::chosenAes256Impl();
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--mib") == 0) mib = std::strtoul(argv[i + 1], nullptr, 10);
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--impl") == 0) impl = &implementationNamed(argv[i + 1]);
  }
  const std::size_t bytes = mib << 20;
  mallopt(M_MMAP_THRESHOLD, 32 << 20);  // glibc's largest: texts of up to 32 MiB on the heap
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  std::string plain(bytes, '\0');
  for (std::size_t i = 0; i < bytes; ++i) plain[i] = static_cast<char>((i * 131 + 7) >> 3);

  std::printf("library on %s, %zu MiB, medians of %d rounds, MB/s [slowest, fastest]\n\n", impl->name, mib,
              rounds);
  std::printf(
      "| mode | direction | library | OpenSSL | library / OpenSSL | per round: median [lowest, highest] "
      "|\n|---|---|---|---|---|---|\n");
  for (const Mode& m : kModes) {
    unseal::CipherEngine engine =
        unseal::detail::boundTo(*impl, unseal::CipherEngine(kKey, m.mode, unseal::PKCS7));
    engine.setIv(kIv);
    const std::string cipher = engine.encryptText(plain, true);
    if (cipher != opensslRun(m.evp(), plain, true) && m.mode != unseal::CTR) {
      throw std::runtime_error(std::string(m.name) + ": the two disagree");
    }
    for (const bool encrypt : {true, false}) {
      const std::string& input = encrypt ? plain : cipher;
      std::vector<double> library, openssl, ratios;  // ratios: each round's library / OpenSSL speed
      for (int r = 0; r < rounds; ++r) {
        const auto runLibrary = [&] {
          library.push_back(secondsOf(
              [&] {
                engine.setIv(kIv);
                return encrypt ? engine.encryptText(input, true) : engine.decryptText(input, true);
              },
              bytes));
        };
        const auto runOpenssl = [&] {
          openssl.push_back(secondsOf([&] { return opensslRun(m.evp(), input, encrypt); }, bytes));
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
      std::printf("| %s | %s | %.0f [%.0f, %.0f] | %.0f [%.0f, %.0f] | %.2f | %.2f [%.2f, %.2f] |\n", m.name,
                  encrypt ? "encrypt" : "decrypt", lib.median, lib.low, lib.high, ssl.median, ssl.low,
                  ssl.high, lib.median / ssl.median, ratios[ratios.size() / 2], ratios.front(),
                  ratios.back());
      std::fflush(stdout);
    }
  }
  return 0;
}
