// The command line: [ -m mapfile | --mapfile=mapfile ] [ -- ] old_file new_file [ del-rec_file ],
// or --help or --version; and the texts printed for it.
#pragma once

#include "driver/run_state.hpp"
#include "io/writer.hpp"

namespace datmend {

// What the command line asks for.
enum class Request {
    salvage,  // the names are in the run state
    help,     // --help
    version,  // --version
    wrong,    // a mapfile option without a name, or not two or three file names
};

// Takes the mapfile's name and the file names into the run state. Options come only before the
// first file name; every other argument is a file name, whatever it begins with. The first
// --help or --version is answered, whatever follows it.
Request parse_command_line(RunState& state, int argc, char* argv[]);

// The usage line and the text that explains what the tool does.
void print_help(Writer& out);

// What --help adds to the help text: the options, and where the manual is.
void print_options(Writer& out);

// The version, the copyright and the license, as LICENSE states them.
void print_version(Writer& out);

}  // namespace datmend
