// The tool's entry: runs one salvage from the command line and returns the exit status.
#pragma once

#include <unistd.h>

#include <cstdio>

#include "outputs/system_calls.hpp"
#include "salvage/damaged_file.hpp"
#include "salvage/findings.hpp"

namespace datmend {

// What a run is given besides its command line: where the report and the failure lines go, and
// the seams through which the damaged file is read and the outputs written, which tests replace.
struct Surroundings {
    int report_fd = STDOUT_FILENO;
    int report_errnum = 0;  // the report counts as lost from the start (standard output closed)
    std::FILE* err = stderr;
    DamagedFile::ReadFunction read;  // empty: pread(2)
    const SystemCalls* calls = &real_system_calls();
    Findings* also = nullptr;  // a sink that every finding of a salvage goes to as well
};

// Returns one of the exit statuses of exit_status.hpp.
int run_datmend(const Surroundings& around, int argc, char* argv[]);

// main()'s call: a run on standard output and standard error.
int datmend_main(int argc, char* argv[]);

}  // namespace datmend
