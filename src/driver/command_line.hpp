// The command line: [ -m mapfile | --mapfile=mapfile ] [ -- ] old_file new_file [ del-rec_file ].
#pragma once

#include "driver/run_state.hpp"
#include "io/writer.hpp"

namespace datmend {

// Takes the mapfile's name and the file names into the run state; false when a mapfile option
// has no name, or there are not two or three file names. Options come only before the first
// file name; every other argument is a file name, whatever it begins with.
bool parse_command_line(RunState& state, int argc, char* argv[]);

// The usage line and the text that explains what the tool does.
void print_help(Writer& out);

}  // namespace datmend
