// The three files of a run: every refusal of a name, made before any output file is created or
// truncated, and the opening of the files. Each function returns 0, or the exit status after the
// failure has been reported.
#pragma once

#include "driver/run_state.hpp"

namespace datmend {

// Refuses an old_file that cannot be salvaged (a FIFO, a directory, 2 GiB or more), opens it
// and measures it; with a mapfile, takes the sectors its copy lacks as unreadable, or refuses
// the map.
int open_damaged_file(RunState& state);

// Refuses output names that would write over the damaged file or over each other.
int refuse_output_names(RunState& state);

// Creates or truncates the output files.
int open_output_files(RunState& state);

}  // namespace datmend
