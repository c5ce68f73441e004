// Hex dump of a stretch of the damaged file that is left out of the new file, and the count of
// such stretches, which the exit status reports.
#pragma once

#include <cstdint>

#include "io/writer.hpp"
#include "salvage/damaged_file.hpp"

namespace datmend {

// Where the damage of a run is told: its report, and the counts of what was dumped there.
struct DamageLog {
    explicit DamageLog(Writer& report_to) : report(report_to) {}

    Writer& report;
    std::uint32_t error_count = 0;  // one per dumped stretch or repaired record
    std::uint32_t repaired = 0;     // records mended where two witnesses of three agree
    // Bytes of all dumped stretches together. Only the test checker reads it, to prove that
    // every byte of the damaged file is accounted for.
    std::uint64_t dumped_bytes = 0;
};

// Prints the bytes at offsets first to last inclusive (last < the file's physical_eof) as rows
// of 16 in log's report and counts one file error. A byte the disk could not deliver shows as
// "??" and "~".
void dump_discarded(DamagedFile& file, DamageLog& log, std::uint32_t first, std::uint32_t last);

// Prints the n bytes (1 <= n <= 16) at bytes in one row of a dump, labelled with label.
void print_labelled_row(Writer& report, std::uint32_t label, const std::uint8_t* bytes,
                        std::uint32_t n);

}  // namespace datmend
