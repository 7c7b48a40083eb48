// Test helpers: hex conversion and the published known-answer file.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace unseal::test {

std::string fromHex(std::string_view hex);
std::string toHex(std::string_view bytes);

// Reads "name = hex" lines of a file under tests/data; '#' starts a comment.
// Values come back decoded to bytes. Fails the calling test if a name is asked
// for that the file does not hold (see Vectors::at).
class Vectors {
 public:
  explicit Vectors(const std::string& fileName);
  const std::string& at(const std::string& name) const;

 private:
  std::map<std::string, std::string> values_;
};

// The AES-256 / SHA-1 known answers of FIPS-197, NIST SP 800-38A and FIPS 180.
const Vectors& publishedVectors();

// Deterministic pseudo-random bytes for tests (not for keys!).
std::string randomBytes(std::size_t n, unsigned seed);

}  // namespace unseal::test
