// The path a decrypted file is written to.
//
// outputPathFor(input): the input path up to its last '.', searched over the
// whole path with its directory part, followed by ".decrypted"; when the path
// holds no '.', the whole path followed by ".decrypted". So "image.enc" gives
// "image.decrypted", "data.old/image" gives "data.decrypted", and a path that
// already ends in ".decrypted" gives itself.
#pragma once

#include <string>
#include <string_view>

namespace unseal {

inline constexpr std::string_view kOutputSuffix = ".decrypted";

std::string outputPathFor(std::string_view inputPath);

}  // namespace unseal
