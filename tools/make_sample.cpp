// make_sample <sample.enc> <key> [<picture.bmp>]
//
// Draws a small 24-bit BMP picture (a house, a tree and the sun over a hill)
// and writes it encrypted as unseal reads it: the 54-byte BMP header in
// clear, the pixel data encrypted chunk by chunk with AES-256 CFB from the
// chunk IV under the 32-byte key, a short last chunk as its own bytes only.
// With a third argument the clear picture is written there too. Regenerate
// the shipped sample with:
//   build/make_sample examples/sample.enc unseal-demo-key-0123456789abcdef
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <string_view>

#include "app/file_format.h"
#include "unseal/cipher_engine.h"

namespace {

constexpr int kWidth = 64;
constexpr int kHeight = 48;

struct Rgb {
  int r, g, b;
};

void put16(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 2; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void put32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// The colour at (x, y), y counted from the top.
Rgb pixelAt(int x, int y) {
  const auto inCircle = [&](int cx, int cy, int r) {
    return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r;
  };
  if (inCircle(52, 9, 6)) return {255, 210, 40};                                                     // sun
  if (x >= 13 && x <= 18 && y >= 31 && y <= 38) return {90, 50, 20};                                 // door
  if (x >= 21 && x <= 25 && y >= 27 && y <= 31) return {170, 220, 250};                              // window
  if (x >= 8 && x <= 28 && y >= 24 && y <= 38) return {200, 40, 40};                                 // wall
  if (y >= 12 && y <= 23 && x >= 18 - (y - 12) - 1 && x <= 18 + (y - 12) + 1) return {110, 60, 40};  // roof
  if (x >= 44 && x <= 46 && y >= 26 && y <= 38) return {100, 70, 30};                                // trunk
  if (inCircle(45, 22, 7)) return {30, 130, 50};                                                     // crown
  const int hill = 36 + (x - 32) * (x - 32) / 120;
  if (y >= hill) return {60, 170 - (y - hill) * 3, 60};  // grass
  return {90 + y * 3, 160 + y * 2, 240};                 // sky
}

std::string bitmap() {
  const std::uint32_t pixelBytes = kWidth * kHeight * 3;  // rows of 192 bytes: no row padding
  std::string out = "BM";
  put32(out, static_cast<std::uint32_t>(unseal::kHeaderSize) + pixelBytes);
  put32(out, 0);
  put32(out, static_cast<std::uint32_t>(unseal::kHeaderSize));
  put32(out, 40);
  put32(out, kWidth);
  put32(out, kHeight);  // positive: bottom row first
  put16(out, 1);
  put16(out, 24);
  put32(out, 0);
  put32(out, pixelBytes);
  put32(out, 2835);
  put32(out, 2835);
  put32(out, 0);
  put32(out, 0);
  for (int y = kHeight - 1; y >= 0; --y) {
    for (int x = 0; x < kWidth; ++x) {
      const Rgb c = pixelAt(x, y);
      for (const int v : {c.b, c.g, c.r}) out.push_back(static_cast<char>(v < 0 ? 0 : v > 255 ? 255 : v));
    }
  }
  return out;
}

std::string encrypted(const std::string& picture, std::string_view key) {
  std::string out = picture.substr(0, unseal::kHeaderSize);
  for (std::size_t at = unseal::kHeaderSize; at < picture.size(); at += unseal::kChunkSize) {
    unseal::CipherEngine engine(key, unseal::CFB, unseal::Zeros);
    engine.setIv(unseal::kChunkIv);
    out += engine.encryptText(std::string_view(picture).substr(at, unseal::kChunkSize), true);
  }
  return out;
}

bool writeFile(const char* path, const std::string& bytes) {
  std::ofstream out(path, std::ios::out | std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return !out.fail();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || std::string_view(argv[2]).size() != 32) {
    std::fputs("Usage: make_sample <sample.enc> <32-byte key> [<picture.bmp>]\n", stderr);
    return 1;
  }
  const std::string picture = bitmap();
  if (!writeFile(argv[1], encrypted(picture, argv[2])) || (argc > 3 && !writeFile(argv[3], picture))) {
    std::fputs("make_sample: cannot write the output\n", stderr);
    return 1;
  }
  return 0;
}
