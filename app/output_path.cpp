#include "app/output_path.h"

namespace unseal {

std::string outputPathFor(std::string_view inputPath) {
  const std::size_t dot = inputPath.rfind('.');
  std::string output(inputPath.substr(0, dot));  // npos keeps the whole path
  output += kOutputSuffix;
  return output;
}

}  // namespace unseal
