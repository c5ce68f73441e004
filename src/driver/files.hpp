// The files of a run: the table of their names, every refusal of a name, made before any output
// file is created or truncated, and the opening of the files. Each function but the first tells
// a failure once, on err, and returns 0 or the exit status the failure ends the run with.
#pragma once

#include <cstdio>

#include "driver/command_line.hpp"
#include "outputs/outputs.hpp"
#include "salvage/damaged_file.hpp"

namespace datmend {

// The table for names, every name resolved once: the damaged file, the new file (but where a
// dry run names none), the deleted-records file and the lost map when they are named, and the
// mapfile when one is given, each with the exit status that its refusal or failure ends the run
// with; the outputs written through calls.
Outputs plan_files(const Names& names, const SystemCalls& calls);

// Refuses a damaged file that cannot be salvaged (a FIFO, a directory, 2 GiB or more, the file
// standard output, report_fd, writes into), opens it as file and measures it; with a mapfile,
// takes the sectors its copy lacks as unreadable, or refuses the map.
int open_damaged_file(Outputs& outputs, DamagedFile& file, int report_fd, std::FILE* err);

// Refuses the outputs that would write over the damaged file (file, open), over each other, over
// the mapfile, or into standard output (report_fd), under any name or through any block device.
int refuse_output_names(const Outputs& outputs, const DamagedFile& file, int report_fd,
                        std::FILE* err);

// Creates or truncates the outputs, in a dry run the lost map alone; a file created gets the
// permission bits of file.
int open_output_files(Outputs& outputs, const DamagedFile& file, bool dry_run, std::FILE* err);

}  // namespace datmend
