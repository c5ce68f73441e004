// The state of one run: the file names, the damaged file and its header, the report and the
// damage told in it, the output files and the results. The driver creates it and passes it by
// reference; nothing of it is global.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "driver/outputs.hpp"
#include "format/layout.hpp"
#include "io/system_calls.hpp"
#include "io/writer.hpp"
#include "salvage/damaged_file.hpp"
#include "salvage/dump.hpp"
#include "writer/copy.hpp"

namespace datmend {

struct RunState {
    std::string old_name;
    std::string new_name;
    std::string deleted_name;       // empty unless has_deleted_file
    bool has_deleted_file = false;  // a third file name was given
    std::string map_name;           // a rescued copy's mapfile; empty unless has_map
    bool has_map = false;

    DamagedFile damaged;
    // The file header as the walk reads the file and as the new file gets it: as read, or rebuilt
    // from the records; freelist_address cleared once written.
    FileHeader file_header;
    FileHeader header_as_read;     // zeros where its bytes could not be read
    bool header_readable = false;  // all 16 bytes of it
    bool header_rebuilt = false;

    Writer report{kReportBufferSize, STDOUT_FILENO};  // standard output
    DamageLog damage{report};

    // How the outputs are written and committed; a test puts calls here that fail.
    const SystemCalls* calls = &real_system_calls();
    Outputs outputs;  // the new file, the deleted-records file if named, the mapfile if named

    // Results of the walk, for the summary.
    CopyCounts counts;
    std::uint32_t new_eof = 0;

    std::FILE* err = stderr;  // "<file name>: <system text>" lines
};

}  // namespace datmend
