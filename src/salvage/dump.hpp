// Hex dump of a stretch of the damaged file that is left out of the new file.
#pragma once

#include <cstdint>

#include "salvage/salvage_state.hpp"

namespace datmend {

// Prints the bytes at offsets first to last inclusive as rows of 16 and counts one file error.
// The damaged file's position is left where it was. A byte the disk could not deliver shows as
// "??" and "~"; the dump never runs past the measured end of the file.
void dump_discarded(SalvageState& state, std::uint32_t first, std::uint32_t last);

}  // namespace datmend
