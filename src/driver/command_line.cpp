// Command line: a rescued copy's mapfile, then two or three file names; or the help text, the
// options or the version.
#include "driver/command_line.hpp"

#include <string_view>

namespace datmend {

namespace {

// Shown as it has always been shown, trailing blanks included: scripts and users know it.
constexpr const char* kHelpText[] = {
    "usage: datmend old_file new_file [ del-rec_file ]\n",
    "Version " DATMEND_VERSION "\n",
    "\n",
    "This utility will read an VARQ indexed data file (.dat) and copy \n",
    "the good/active records to the output file.  Any corrupt data    \n",
    "will be hex-dumped to the screen.                                \n",
    "\n",
    "Deleted Records will be discarded unless a third filename is     \n",
    "given on the command line.  In this case, the deleted records    \n",
    "will be copied to the given file.  This file is a fixed-length   \n",
    "consecutive file.  To access it from within VARQ, you must design\n",
    "transfer your data dictionary, remove the indices, and change the\n",
    "file type to consecutive.  This is needed since the deleted      \n",
    "records could contain duplicate key values.                      \n",
    "\n",
    "Overhead blocks are also removed.  These blocks are used to track\n",
    "deleted record space within the file for reuse.  Since the new   \n",
    "file has no deleted record space, it no longer needs these blocks.\n",
    "\n",
    "*** IMPORTANT ***\n",
    "Any file that you datmend, must have a new (.key) file built.  The \n",
    "(.key) file contains pointers to all of the data records in the  \n",
    "(.dat) file.  So, by datmending the file, you have invalidated the\n",
    " old (.key) file.\n",
};

constexpr const char* kOptionsText =
    "\n"
    "Options, before the first file name:\n"
    "  -m mapfile, --mapfile=mapfile\n"
    "               old_file is a copy rescued by GNU ddrescue and mapfile its\n"
    "               map: what the rescue could not read counts as unreadable\n"
    "  -r, --repair take a record whose only damage is its length or its\n"
    "               trailer, repaired, where the records after it agree\n"
    "  --help       print this help and exit\n"
    "  --version    print the version and the license and exit\n"
    "  --           end the options: every argument after it is a file name\n"
    "\n"
    "Full documentation: man datmend\n";

// Word for word as LICENSE has them.
constexpr const char* kCopyrightText =
    "Copyright (c) 2026 The datmend project\n"
    "MIT License\n";

}  // namespace

CommandLine parse_command_line(int argc, char* argv[]) {
    constexpr std::string_view kLong = "--mapfile";
    CommandLine line;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg == "--help" || arg == "--version") {
            line.request = arg == "--help" ? Request::help : Request::version;
            return line;
        }
        if (arg == "-r" || arg == "--repair") {
            line.names.repair = true;
            continue;
        }
        std::string map;
        if (arg == "-m" || arg == kLong) {
            if (++i == argc) {
                line.request = Request::wrong;
                return line;
            }
            map = argv[i];
        } else if (arg.starts_with(kLong) && arg[kLong.size()] == '=') {
            map = arg.substr(kLong.size() + 1);
        } else {
            break;  // the first file name
        }
        if (map.empty()) {
            line.request = Request::wrong;
            return line;
        }
        line.names.mapfile = map;
    }
    const int names = argc - i;
    if (names < 2 || names > 3) {
        line.request = Request::wrong;
        return line;
    }
    line.names.old_file = argv[i];
    line.names.new_file = argv[i + 1];
    if (names == 3) {
        line.names.deleted_file = argv[i + 2];
    }
    line.request = Request::salvage;
    return line;
}

void print_help(Writer& out) {
    for (const char* line : kHelpText) {
        out.write(line);
    }
}

void print_options(Writer& out) {
    out.write(kOptionsText);
}

void print_version(Writer& out) {
    out.write("datmend " DATMEND_VERSION "\n");
    out.write(kCopyrightText);
}

}  // namespace datmend
