// The files of a run: every refusal of a name, made before any output file is created or
// truncated, and the opening of the files. Each function tells a failure once, on err, and
// returns 0 or the exit status the failure ends the run with.
#pragma once

#include <cstdio>
#include <string>

#include "driver/command_line.hpp"
#include "outputs/outputs.hpp"
#include "salvage/damaged_file.hpp"

namespace datmend {

// Refuses an old_file that cannot be salvaged (a FIFO, a directory, 2 GiB or more, the file
// standard output, report_fd, writes into), opens it as file and measures it; with a mapfile,
// takes the sectors its copy lacks as unreadable, or refuses the map.
int open_damaged_file(const Names& names, DamagedFile& file, int report_fd, std::FILE* err);

// Records where each name of outputs leads, and refuses the outputs that would write over the
// damaged file old_file, over each other, over a name that no output may be, or into standard
// output (report_fd), under any name or through any block device.
int refuse_output_names(Outputs& outputs, const std::string& old_file, int report_fd,
                        std::FILE* err);

// Creates or truncates the outputs; a file created gets the permission bits of file.
int open_output_files(Outputs& outputs, const DamagedFile& file, std::FILE* err);

}  // namespace datmend
