// The completion summary, and the exit status it stands for.
#pragma once

#include "driver/run_state.hpp"

namespace datmend {

// Prints the completion information from the run's results and returns error_count capped at
// 255, so that a script can tell a clean run (0) from one that discarded data.
int print_summary(RunState& state);

}  // namespace datmend
