// The library's errors: every failure is std::invalid_argument carrying one
// of these fixed sentences as its what(), so callers may compare them; the
// exceptions are systemRandomFill, systemRandomBytes16 and
// CipherEngine::withSystemRandomIvs, which throw std::system_error when the
// kernel's random source fails.
#pragma once

namespace unseal {

inline constexpr const char* kShortKeyMessage = "Key must contain at least 32 bytes of data";
inline constexpr const char* kShortSeedMessage = "Seed must consist of (at least) 16 bytes";
inline constexpr const char* kInvalidModeMessage = "Invalid chaining mode requested";
inline constexpr const char* kShortIvMessage = "IV must contain at least 16 bytes of data";
inline constexpr const char* kBadLengthMessage = "Length of string to decrypt is incorrect";
inline constexpr const char* kGarbledMessage = "String to decrypt is garbled";
inline constexpr const char* kBadStreamsMessage = "Bad input or output stream";
inline constexpr const char* kBadInputMessage = "Bad input stream";
inline constexpr const char* kSmallOutputMessage = "Output buffer is too small";
inline constexpr const char* kOverlapMessage = "Output buffer overlaps the input";

inline constexpr const char* kErrorMessages[] = {
    kShortKeyMessage, kShortSeedMessage,  kInvalidModeMessage, kShortIvMessage,     kBadLengthMessage,
    kGarbledMessage,  kBadStreamsMessage, kBadInputMessage,    kSmallOutputMessage, kOverlapMessage};

}  // namespace unseal
