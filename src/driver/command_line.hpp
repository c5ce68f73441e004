// The command line, read as GNU tools read theirs: options anywhere among the names until --,
// from one table that also gives --help its options text and the bash completion its words.
// [ -r ] [ -n ] [ -s | -q ] [ -m mapfile ] [ -l lost.map ] [ -- ] old_file new_file
// [ del-rec_file ], or -h / --help or -V / --version; and the texts printed for it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "io/writer.hpp"

namespace datmend {

// What the command line asks for.
enum class Request {
    salvage,      // with the names
    help,         // -h, --help
    version,      // -V, --version
    wrong_count,  // not two or three file names
    bad_option,   // an unknown or ambiguous option, or one without its argument
};

// The files a salvage is given, as named on the command line.
struct Names {
    std::string old_file;
    std::optional<std::string> new_file;      // always given but for a dry run
    std::optional<std::string> deleted_file;  // the third file name, when given
    std::optional<std::string> mapfile;       // the rescued copy's map, when given
    std::optional<std::string> lost_map;      // -l: where to write the map of what was lost
    bool repair = false;                      // -r: records damaged in their framing alone
    bool dry_run = false;                     // -n: no file written but the lost map
    bool squeeze = false;                     // -s: a dump's repeated rows as "*"
    bool quiet = false;                       // -q: no dump rows
    std::string typed;  // every word after the program's name, each after a blank
};

struct CommandLine {
    Request request = Request::wrong_count;
    Names names;                  // only for a salvage
    std::size_t names_given = 0;  // for a wrong count
    std::string problem;          // for a bad option that getopt_long did not tell itself
};

// What the command line asks for. Options may stand anywhere before --; a word that starts
// with - and is not an option is a bad option, never a file name. The first -h or -V is
// answered, whatever follows it. An unknown option, an ambiguous prefix or a missing argument
// is told on standard error by getopt_long itself, in glibc's words; only what glibc takes
// for an argument but is none (an empty mapfile name) comes back in problem.
CommandLine parse_command_line(int argc, char* argv[]);

// The usage line and the text that explains what the tool does.
void print_help(Writer& out);

// What --help adds to the help text: the options, and where the manual is.
void print_options(Writer& out);

// The version, the copyright and the license, as LICENSE states them.
void print_version(Writer& out);

// The words that complete an option, in the table's order, blank-separated: each short and long
// spelling, "--long=" too for an option that takes an argument, and "--".
std::string option_words();

}  // namespace datmend
