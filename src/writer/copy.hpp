// The copy loop that disposes of every record by its type, and the final patch of the new
// file's header. Both return 0, or the exit status of a failure they have already reported.
#pragma once

#include <cstdint>

#include "driver/run_state.hpp"

namespace datmend {

// Active records go to the new file renumbered, deleted records' data to the deleted-records
// file when there is one, everything else is dropped as overhead.
int copy_records(RunState& state, CopyCounts& counts);

// Releases the record buffer, closes the three files, and rewrites the new file's header with
// an empty freelist and eof_address set to the file's size, which it returns in new_eof.
int finish_new_file(RunState& state, std::uint32_t& new_eof);

}  // namespace datmend
