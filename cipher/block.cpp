// The process-wide padding settings of the three block sizes. Initialised
// data: no code runs to set them at program load.
#include "unseal/block.h"

namespace unseal {

template <>
std::int32_t Block<16>::paddingScheme = ISO7816_4;
template <>
std::int32_t Block<32>::paddingScheme = ISO7816_4;
template <>
std::int32_t Block<64>::paddingScheme = ISO7816_4;

}  // namespace unseal
