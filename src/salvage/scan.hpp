// Resynchronisation: after a record that contradicts the file, find the next plausible one.
#pragma once

#include <cstdint>

#include "salvage/salvage_state.hpp"

namespace datmend {

// Searches from start + 1 for the first offset whose record header and trailer are plausible,
// dumps start up to that offset, and returns it with the found record's header and trailer in
// the salvage state and the damaged file at its data. Returns 0 when there is none, after
// dumping start to the end of the file.
std::uint32_t find_next_record(SalvageState& state, std::uint32_t start);

}  // namespace datmend
