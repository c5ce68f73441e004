// Failures of files, told once, on standard error, with the file's name: each function writes
// "<name>: <reason>\n" to err and returns the exit status that the failure ends the run with.
#pragma once

#include <cstdio>
#include <string>

#include "io/writer.hpp"
#include "outputs/outputs.hpp"

namespace datmend {

int report_failure(std::FILE* err, const std::string& name, const std::string& reason, int status);

// The same with the system's words for errnum as the reason.
int report_file_error(std::FILE* err, const std::string& name, int errnum, int status);

// A failed write of one of outputs, with that output's name and exit status.
int report_write_failure(std::FILE* err, const Outputs& outputs, const WriteFailure& failure);

}  // namespace datmend
