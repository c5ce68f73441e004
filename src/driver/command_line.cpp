// Command line through glibc's getopt_long, its options from one table; the help text, the
// options text and the version.
#include "driver/command_line.hpp"

#include <getopt.h>

#include <string_view>
#include <vector>

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

// One entry per option: the short and long spelling, the name of its argument (nullptr for none)
// and its lines of --help, each under the last.
struct Option {
    char short_name;
    const char* long_name;
    const char* argument;
    const char* help;
};

constexpr Option kOptions[] = {
    {'m', "mapfile", "FILE",
     "old_file is a copy rescued by GNU ddrescue and FILE its\n"
     "map: what the rescue could not read counts as unreadable"},
    {'r', "repair", nullptr,
     "take a record whose only damage is its length or its\n"
     "trailer, repaired, where the records after it agree"},
    {'n', "dry-run", nullptr,
     "write no file, but the lost map: report what a salvage\n"
     "would do; only old_file need be named"},
    {'l', "lost-map", "FILE",
     "write to FILE a GNU ddrescue map of old_file: + where\n"
     "the salvage kept the bytes, - where it dumped them"},
    {'s', "squeeze", nullptr, "in a dump, a row that repeats the row before as *"},
    {'q', "quiet", nullptr, "leave the dumps' rows out of the report"},
    {'h', "help", nullptr, "print this help and exit"},
    {'V', "version", nullptr, "print the version and the license and exit"},
};

// The column the help of an option starts in.
constexpr std::size_t kHelpColumn = 22;

// Word for word as LICENSE has them.
constexpr const char* kCopyrightText =
    "Copyright (c) 2026 The datmend project\n"
    "MIT License\n";

}  // namespace

CommandLine parse_command_line(int argc, char* argv[]) {
    // glibc names the program after argv[0] in its messages: the tool's own name instead of
    // the path it was started by.
    std::vector<char*> words(argv, argv + argc);
    std::string program = "datmend";
    words.insert(words.begin(), program.data());
    words.erase(words.begin() + 1);
    // A leading - has every word that is not an option handed back in turn, as option 1: the
    // names keep their order, whatever POSIXLY_CORRECT says, and options stand anywhere.
    std::string short_options = "-";
    std::vector<option> long_options;
    for (const Option& o : kOptions) {
        short_options += o.short_name;
        if (o.argument != nullptr) {
            short_options += ':';
        }
        long_options.push_back({o.long_name,
                                o.argument != nullptr ? required_argument : no_argument, nullptr,
                                o.short_name});
    }
    long_options.push_back({nullptr, 0, nullptr, 0});

    CommandLine line;
    std::vector<std::string> names;
    optind = 0;  // a fresh scan, as for a new process
    opterr = 1;  // glibc tells a wrong option itself
    for (int c, long_index = -1; (c = getopt_long(argc, words.data(), short_options.c_str(),
                                                  long_options.data(), &long_index)) != -1;
         long_index = -1) {
        // An empty name is no argument: told as glibc tells a missing one, for the spelling used.
        if (c != 1 && optarg != nullptr && *optarg == '\0') {
            line.request = Request::bad_option;
            line.problem =
                long_index >= 0
                    ? std::string("option '--") +
                          long_options[static_cast<std::size_t>(long_index)].name +
                          "' requires an argument"
                    : std::string("option requires an argument -- '") + static_cast<char>(c) + "'";
            return line;
        }
        switch (c) {
            case 1:
                // A lone "-" would be read as a file of that name, where tools take it for
                // standard input or output: such a file is named ./- or after --.
                if (std::string_view(optarg) == "-") {
                    line.request = Request::bad_option;
                    line.problem = "'-' is no file name here; name a file called - as ./-";
                    return line;
                }
                names.emplace_back(optarg);
                break;
            case 'm':
                line.names.mapfile = optarg;
                break;
            case 'r':
                line.names.repair = true;
                break;
            case 'n':
                line.names.dry_run = true;
                break;
            case 'l':
                line.names.lost_map = optarg;
                break;
            case 's':
                line.names.squeeze = true;
                break;
            case 'q':
                line.names.quiet = true;
                break;
            case 'h':
                line.request = Request::help;
                return line;
            case 'V':
                line.request = Request::version;
                return line;
            default:
                line.request = Request::bad_option;
                return line;
        }
    }
    for (; optind < argc; ++optind) {
        names.emplace_back(words[static_cast<std::size_t>(optind)]);
    }
    line.names_given = names.size();
    // A dry run writes no file, so it needs none but old_file.
    if (names.size() < (line.names.dry_run ? 1u : 2u) || names.size() > 3) {
        line.request = Request::wrong_count;
        return line;
    }
    line.names.old_file = names[0];
    if (names.size() >= 2) {
        line.names.new_file = names[1];
    }
    if (names.size() == 3) {
        line.names.deleted_file = names[2];
    }
    for (int i = 1; i < argc; ++i) {
        line.names.typed += ' ';
        line.names.typed += argv[i];
    }
    line.request = Request::salvage;
    return line;
}

void print_help(Writer& out) {
    for (const char* line : kHelpText) {
        out.write(line);
    }
}

// "  -m, --mapfile=FILE", its help from kHelpColumn on, below it when it is too wide, and each
// further line of the help under the first.
void print_options(Writer& out) {
    out.write("\nOptions, anywhere before --:\n");
    for (const Option& o : kOptions) {
        std::string line = std::string("  -") + o.short_name + ", --" + o.long_name;
        if (o.argument != nullptr) {
            line = line + "=" + o.argument;
        }
        line += line.size() < kHelpColumn ? std::string(kHelpColumn - line.size(), ' ')
                                          : "\n" + std::string(kHelpColumn, ' ');
        for (const char* c = o.help; *c != '\0'; ++c) {
            line += *c;
            if (*c == '\n') {
                line.append(kHelpColumn, ' ');
            }
        }
        out.write(line.data(), line.size());
        out.write("\n");
    }
    out.write(
        "  --                  end the options: every word after it is a file name,\n"
        "                      even one that starts with -\n"
        "\n"
        "Full documentation: man datmend\n");
}

void print_version(Writer& out) {
    out.write("datmend " DATMEND_VERSION "\n");
    out.write(kCopyrightText);
}

std::string option_words() {
    std::string words;
    for (const Option& o : kOptions) {
        words = words + "-" + o.short_name + " --" + o.long_name + " ";
        if (o.argument != nullptr) {
            words = words + "--" + o.long_name + "= ";
        }
    }
    return words + "--";
}

}  // namespace datmend
