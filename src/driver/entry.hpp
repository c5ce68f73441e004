// The tool's entry: runs one salvage from the command line and returns the exit status.
#pragma once

#include "driver/run_state.hpp"

namespace datmend {

// Exit statuses: 1 wrong command line; 2 old_file or new_file refused, unopenable or unwritable;
// 3 the same for del-rec_file; 4 no whole file header; 9 a refused header; otherwise the
// number of discarded stretches, capped at 255. The state holds the run's results afterwards.
int run_datmend(RunState& state, int argc, char* argv[]);

// main()'s call: a fresh run state on standard output and standard error.
int datmend_main(int argc, char* argv[]);

}  // namespace datmend
