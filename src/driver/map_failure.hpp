// A mapfile refused, in words: what the map reader found wrong, told once on standard error as
// "<mapfile>: <what is wrong>\n", or, for a map that makes the file too large, as the refusal of
// a file that large.
#pragma once

#include "driver/run_state.hpp"
#include "salvage/rescue_map.hpp"

namespace datmend {

// Tells what is wrong with the map (fault is not ok) and returns the exit status.
int report_map_failure(RunState& state, const MapFault& fault);

}  // namespace datmend
