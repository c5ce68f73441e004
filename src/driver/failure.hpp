// Failures of files, told once, on standard error, with the file's name: each function writes
// "<name>: <reason>\n" to err and returns the exit status that the failure ends the run with.
// Nothing here takes memory, so that a failure is told even where memory has run out.
#pragma once

#include <cstdio>
#include <string>

#include "io/writer.hpp"
#include "outputs/outputs.hpp"
#include "outputs/refusals.hpp"

namespace datmend {

int report_failure(std::FILE* err, const std::string& name, const char* reason, int status);

// The same with the system's words for errnum as the reason.
int report_file_error(std::FILE* err, const std::string& name, int errnum, int status);

// A damaged file that the header judged no data file, and why:
// "datmend: <old_file>: not a data file: <why>".
int report_not_a_data_file(std::FILE* err, const std::string& old_file, const std::string& why,
                           int status);

// A refused file, with the refused entry's name and exit status: the system's words, or
// "Same file as <other>", or "Same file as standard output".
int report_refusal(std::FILE* err, const Refusal& refusal);

// A failed write of one of outputs, with that output's name and exit status; then, after a
// commit that failed, each name that could not be changed back, with the system's words and
// the hidden name beside it that keeps what it held:
// "<name>: could not be changed back (<reason>); its old content is kept as <hidden name>", or
// "; it did not exist before" where it held nothing.
int report_write_failure(std::FILE* err, const Outputs& outputs, const WriteFailure& failure);

}  // namespace datmend
