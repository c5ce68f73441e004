// Every exit status the tool can end with. Only the driver picks one.
#pragma once

#include <cstdint>

namespace datmend {

constexpr int kAnswered = 0;            // --help or --version, printed whole
constexpr int kBadCommandLine = 1;      // a wrong option, or not two or three file names
constexpr int kOldOrNewFileFailed = 2;  // old_file or new_file refused, unopenable, unwritable
constexpr int kReportLost = 2;          // the salvage ran to its end, but not all of the report
                                        // could be written; or not all of --help or --version
constexpr int kDeletedFileFailed = 3;   // the same for del-rec_file
constexpr int kBadFileHeader = 4;       // no whole file header
constexpr int kRefusedHeader = 9;       // unknown organization or file manager version
// Otherwise the number of discarded stretches, 0 for a clean run, capped here.
constexpr int kHighestErrorStatus = 255;

// error_count capped, so that a script can tell a clean run (0) from one that discarded data.
constexpr int exit_status_for(std::uint32_t error_count) {
    return error_count > static_cast<std::uint32_t>(kHighestErrorStatus)
               ? kHighestErrorStatus
               : static_cast<int>(error_count);
}

}  // namespace datmend
