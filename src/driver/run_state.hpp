// The state that the driver, the record reader, the scan, the dump and the copy loop share for
// one run. The driver creates it and passes it by reference; nothing of it is global.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "format/layout.hpp"
#include "salvage/damaged_file.hpp"
#include "writer/output_file.hpp"

namespace datmend {

// What the copy loop did with the records it was given. Byte totals include the framing.
struct CopyCounts {
    std::uint32_t active = 0;
    std::uint32_t deleted = 0;
    std::uint32_t overhead = 0;
    std::uint64_t active_bytes = 0;
    std::uint64_t deleted_bytes = 0;
    std::uint64_t overhead_bytes = 0;
};

struct RunState {
    std::string old_name;
    std::string new_name;
    std::string deleted_name;       // empty unless has_deleted_file
    bool has_deleted_file = false;  // a third file name was given

    DamagedFile damaged;
    OutputFile new_file;
    OutputFile deleted_file;  // open only when has_deleted_file

    FileHeader file_header;          // as read, with freelist_address cleared once written
    std::uint32_t physical_eof = 0;  // size of the damaged file, below 2^31; bounds every read

    // The record being read: its header and trailer value.
    RecordHeader record;
    std::uint32_t trailer = 0;

    // Reused for every record's data; it only grows, to exactly the longest record so far.
    std::unique_ptr<std::uint8_t[]> record_buffer;
    std::uint32_t record_capacity = 0;  // bytes in record_buffer; 0 when it is absent

    std::uint32_t error_count = 0;   // one per dumped stretch
    std::uint64_t dumped_bytes = 0;  // bytes of all dumped stretches together

    // Results of the walk, for the summary.
    CopyCounts counts;
    std::uint32_t new_eof = 0;

    std::FILE* out = stdout;  // the report
    std::FILE* err = stderr;  // "<file name>: <system text>" lines
};

// Writes "<name>: <system text for errnum>\n" to the error stream and returns status, the
// exit status the failure ends the run with.
int report_file_error(RunState& state, const std::string& name, int errnum, int status);

}  // namespace datmend
