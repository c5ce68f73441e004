// The command line: [ -m mapfile | --mapfile=mapfile ] [ -r | --repair ] [ -- ] old_file new_file
// [ del-rec_file ],
// or --help or --version; and the texts printed for it.
#pragma once

#include <optional>
#include <string>

#include "io/writer.hpp"

namespace datmend {

// What the command line asks for.
enum class Request {
    salvage,  // with the names
    help,     // --help
    version,  // --version
    wrong,    // a mapfile option without a name, or not two or three file names
};

// The files a salvage is given, as named on the command line.
struct Names {
    std::string old_file;
    std::string new_file;
    std::optional<std::string> deleted_file;  // the third file name, when given
    std::optional<std::string> mapfile;       // the rescued copy's map, when given
    bool repair = false;                      // -r: records damaged in their framing alone
};

struct CommandLine {
    Request request = Request::wrong;
    Names names;  // only for a salvage
};

// What the command line asks for. Options come only before the first file name; every other
// argument is a file name, whatever it begins with. The first --help or --version is answered,
// whatever follows it.
CommandLine parse_command_line(int argc, char* argv[]);

// The usage line and the text that explains what the tool does.
void print_help(Writer& out);

// What --help adds to the help text: the options, and where the manual is.
void print_options(Writer& out);

// The version, the copyright and the license, as LICENSE states them.
void print_version(Writer& out);

}  // namespace datmend
