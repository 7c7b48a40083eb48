// Micro-benchmarks of the cipher library, on each AES-256 implementation the
// CPU can run. Whole-file timings against peers are in bench/compare_unseal.py.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "cipher/aes256_impl.h"
#include "unseal/aes256.h"
#include "unseal/cipher_engine.h"
#include "unseal/sha1.h"

namespace {

using unseal::detail::Aes256Impl;

const std::string kKey = "unseal-demo-key-0123456789abcdef";
const std::string kIv = "5555555555555555";

// The implementations this CPU runs, the one the process picks first.
std::vector<const Aes256Impl*> paths() {
  std::vector<const Aes256Impl*> all;
  for (const Aes256Impl* impl : unseal::detail::aes256Impls()) {
    if (unseal::detail::cpuRuns(unseal::detail::cpuFeatures(), impl->needs)) all.push_back(impl);
  }
  return all;
}

// Each benchmark takes the implementation as its argument (index into paths()).
const Aes256Impl& usePath(benchmark::State& state) {
  const Aes256Impl& impl = *paths()[static_cast<std::size_t>(state.range(0))];
  state.SetLabel(impl.name);
  return impl;
}

void BM_EncryptBlock(benchmark::State& state) {
  const unseal::Aes256 aes = unseal::detail::boundTo(usePath(state), unseal::Aes256(kKey));
  unseal::Block16 block = unseal::Block16::fromText(kIv, 0);
  for (auto _ : state) benchmark::DoNotOptimize(aes.encryptBlock(block));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 16);
}

void BM_DecryptBlock(benchmark::State& state) {
  const unseal::Aes256 aes = unseal::detail::boundTo(usePath(state), unseal::Aes256(kKey));
  unseal::Block16 block = unseal::Block16::fromText(kIv, 0);
  for (auto _ : state) benchmark::DoNotOptimize(aes.decryptBlock(block));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 16);
}

// Installing a key: one copy and the seven forward schedule steps.
void BM_ExpandKey(benchmark::State& state) {
  unseal::Aes256 aes = unseal::detail::boundTo(usePath(state), unseal::Aes256(kKey));
  const unseal::Block32 key = unseal::Block32::fromText(kKey, 0);
  for (auto _ : state) {
    aes.expandKey(key);
    benchmark::ClobberMemory();
  }
}

// Engines are built on the process's choice only: binding one to another
// implementation would add a copy and a key installation to what is timed.
void BM_EngineConstruction(benchmark::State& state) {
  state.SetLabel(unseal::aes256Implementation());
  for (auto _ : state) {
    unseal::CipherEngine engine(kKey, unseal::CFB, unseal::Zeros);
    benchmark::DoNotOptimize(&engine);
  }
}

// The literal per-chunk loop (app/chunk_reference.cpp), which the command's
// bulk decryption must equal: build, set the IV, decrypt, destroy.
void BM_DecryptChunk(benchmark::State& state) {
  state.SetLabel(unseal::aes256Implementation());
  const std::string chunk(128, '\x5a');
  for (auto _ : state) {
    unseal::CipherEngine engine(kKey, unseal::CFB, unseal::Zeros);
    engine.setIv(kIv);
    benchmark::DoNotOptimize(engine.decryptText(chunk, true));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 128);
}

// 64 KiB through encryptText or decryptText, or with range(3) 1 through
// encryptInto or decryptInto into one buffer that serves every iteration;
// range(1) is the mode, range(2) 0 for encryption and 1 for decryption.
void BM_Text64K(benchmark::State& state) {
  const Aes256Impl& impl = usePath(state);
  const auto mode = static_cast<std::int32_t>(state.range(1));
  const bool decrypt = state.range(2) != 0;
  const bool intoBuffer = state.range(3) != 0;
  unseal::CipherEngine engine =
      unseal::detail::boundTo(impl, unseal::CipherEngine(kKey, mode, unseal::PKCS7));
  engine.setIv(kIv);
  const std::string text(64 * 1024, '\x21');
  const std::span<const std::uint8_t> in(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  std::vector<std::uint8_t> out(text.size() + 16);
  for (auto _ : state) {
    if (intoBuffer) {
      benchmark::DoNotOptimize(decrypt ? engine.decryptInto(in, out, true)
                                       : engine.encryptInto(in, out, true));
      benchmark::ClobberMemory();
    } else {
      benchmark::DoNotOptimize(decrypt ? engine.decryptText(text, true) : engine.encryptText(text, true));
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 64 * 1024);
}

void BM_Sha1(benchmark::State& state) {
  const std::string message(static_cast<std::size_t>(state.range(0)), 'a');
  std::uint8_t digest[unseal::Sha1::DigestSize];
  for (auto _ : state) {
    unseal::Sha1 sha;
    sha.init();
    sha.update(message.data(), static_cast<std::uint32_t>(message.size()));
    sha.finish(digest);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void perPath(benchmark::internal::Benchmark* b) {
  for (std::size_t i = 0; i < paths().size(); ++i) b->Arg(static_cast<std::int64_t>(i));
}

void perPathModeDirectionApi(benchmark::internal::Benchmark* b) {
  for (std::size_t i = 0; i < paths().size(); ++i) {
    for (std::int64_t mode = unseal::ECB; mode <= unseal::CTR; ++mode) {
      for (std::int64_t direction : {0, 1}) {
        for (std::int64_t into : {0, 1}) b->Args({static_cast<std::int64_t>(i), mode, direction, into});
      }
    }
  }
}

BENCHMARK(BM_EncryptBlock)->Apply(perPath);
BENCHMARK(BM_DecryptBlock)->Apply(perPath);
BENCHMARK(BM_ExpandKey)->Apply(perPath);
BENCHMARK(BM_EngineConstruction);
BENCHMARK(BM_DecryptChunk);
BENCHMARK(BM_Text64K)->Apply(perPathModeDirectionApi)->ArgNames({"path", "mode", "decrypt", "into"});
BENCHMARK(BM_Sha1)->Arg(32)->Arg(64 * 1024);

}  // namespace

int main(int argc, char** argv) {
  std::printf("AES-256 implementation chosen for this CPU: %s\n", unseal::aes256Implementation());
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
