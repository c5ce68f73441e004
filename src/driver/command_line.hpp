// The command line: old_file new_file [ del-rec_file ].
#pragma once

#include "driver/run_state.hpp"
#include "io/writer.hpp"

namespace datmend {

// Takes the file names into the run state; false when there are not two or three of them.
bool parse_command_line(RunState& state, int argc, char* argv[]);

// The usage line and the text that explains what the tool does.
void print_help(Writer& out);

}  // namespace datmend
