// The completion summary, and the exit status of a run that reached it.
#pragma once

#include <cstdint>

#include "driver/run_state.hpp"

namespace datmend {

// Prints the completion information from the run's results.
void print_summary(RunState& state);

// error_count capped at 255, so that a script can tell a clean run (0) from one that discarded
// data.
int exit_status_for(std::uint32_t error_count);

}  // namespace datmend
