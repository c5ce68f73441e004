// The copy loop that disposes of every record by its type, and the final patch of the new
// file's header. A write that fails ends the work at once and comes back as a WriteFailure,
// naming the file and the system's error number; the caller reports it.
#pragma once

#include <cstdint>
#include <string>

#include "salvage/salvage_state.hpp"
#include "writer/output_file.hpp"

namespace datmend {

// What the copy loop did with the records it was given.
struct CopyCounts {
    std::uint32_t active = 0;
    std::uint32_t deleted = 0;
    std::uint32_t overhead = 0;
    // Byte totals, framing included: the size the new file must have, and for the test checker
    // the proof that every byte of the damaged file is accounted for.
    std::uint64_t active_bytes = 0;
    std::uint64_t deleted_bytes = 0;
    std::uint64_t overhead_bytes = 0;
};

struct WriteFailure {
    enum class File { none, new_file, deleted_file };
    File file = File::none;
    int errnum = 0;  // errno of the failure; never 0 when file is not none

    explicit operator bool() const { return file != File::none; }
};

// Active records go to new_file renumbered, deleted records' data to deleted_file when there is
// one (nullptr otherwise), everything else is dropped as overhead.
WriteFailure copy_records(SalvageState& state, OutputFile& new_file, OutputFile* deleted_file,
                          CopyCounts& counts);

// Flushes and closes the output files.
WriteFailure close_outputs(OutputFile& new_file, OutputFile* deleted_file);

// Reopens the closed new file and rewrites its file header with eof_address set to the file's
// size, which it also returns in new_eof. When the new file is a device rather than a regular
// file, the size is the one the records copied would have given it.
WriteFailure patch_new_header(const std::string& new_name, FileHeader& header,
                              const CopyCounts& counts, std::uint32_t& new_eof);

}  // namespace datmend
