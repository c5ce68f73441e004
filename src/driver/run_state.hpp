// The state of one run: the file names, the salvage engine's share, the output files and the
// results. The driver creates it and passes it by reference; nothing of it is global.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "salvage/salvage_state.hpp"
#include "writer/copy.hpp"
#include "writer/output_file.hpp"

namespace datmend {

struct RunState {
    std::string old_name;
    std::string new_name;
    std::string deleted_name;       // empty unless has_deleted_file
    bool has_deleted_file = false;  // a third file name was given

    SalvageState salvage;
    OutputFile new_file;
    OutputFile deleted_file;  // open only when has_deleted_file

    // Results of the walk, for the summary.
    CopyCounts counts;
    std::uint32_t new_eof = 0;

    std::FILE* err = stderr;  // "<file name>: <system text>" lines
};

// The one way a failure of a file is reported: writes "<name>: <reason>\n" to the error stream
// and returns status, the exit status the failure ends the run with.
int report_failure(RunState& state, const std::string& name, const std::string& reason, int status);

// The same with the system's words for errnum as the reason.
int report_file_error(RunState& state, const std::string& name, int errnum, int status);

// Reports a failed write of an output file with that file's name and exit status.
int report_write_failure(RunState& state, const WriteFailure& failure);

}  // namespace datmend
