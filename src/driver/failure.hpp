// Failures of files, told once, on standard error, with the file's name: each function writes
// "<name>: <reason>\n" and returns the exit status that the failure ends the run with.
#pragma once

#include <string>

#include "driver/run_state.hpp"

namespace datmend {

int report_failure(RunState& state, const std::string& name, const std::string& reason, int status);

// The same with the system's words for errnum as the reason.
int report_file_error(RunState& state, const std::string& name, int errnum, int status);

// A failed write of an output file, with that file's name and exit status.
int report_write_failure(RunState& state, const WriteFailure& failure);

}  // namespace datmend
