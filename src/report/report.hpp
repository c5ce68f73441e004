// The report's own lines around the salvage: the banner at its head, the completion summary at
// its foot, and the exit status of a run that reached it.
#pragma once

#include <cstdint>

#include "driver/command_line.hpp"
#include "io/writer.hpp"
#include "writer/copy.hpp"

namespace datmend {

// What a salvage found and did, for the summary, the exit status and the tests.
struct Results {
    CopyCounts counts;
    std::uint32_t error_count = 0;   // dumped stretches and repaired records
    std::uint32_t repaired = 0;      // records repaired
    std::uint64_t dumped_bytes = 0;  // all dumped stretches together
    std::uint64_t unreadable_bytes = 0;
    std::uint32_t physical_eof = 0;  // of the damaged file
    std::uint32_t new_eof = 0;       // the new file's size
    bool header_rebuilt = false;
};

// The tool's name and the names of the files, as given.
void print_banner(Writer& out, const Names& names);

// Prints the completion information from the run's results; the deleted records' label says
// whether they were copied to a deleted-records file or removed.
void print_summary(Writer& out, const Results& results, bool deleted_file_named);

// error_count capped at 255, so that a script can tell a clean run (0) from one that discarded
// data.
int exit_status_for(std::uint32_t error_count);

}  // namespace datmend
