// The tool's entry: runs one salvage from the command line and returns the exit status.
#pragma once

#include "driver/run_state.hpp"

namespace datmend {

// Returns one of the exit statuses of exit_status.hpp. The state holds the run's results
// afterwards.
int run_datmend(RunState& state, int argc, char* argv[]);

// main()'s call: a fresh run state on standard output and standard error.
int datmend_main(int argc, char* argv[]);

}  // namespace datmend
