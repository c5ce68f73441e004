// The header block: read from the damaged file, reported and checked, written to the new file,
// and patched there once the new file is complete.
#pragma once

#include <cstdint>

#include "driver/run_state.hpp"

namespace datmend {

// Reads the file header into the state; false when the file is too short for one or a byte of
// it cannot be read.
bool read_file_header(RunState& state);

// The header report printed after the banner, every line in the tool's fixed wording.
void print_header_report(Writer& out, const FileHeader& h);

// Returns false after printing the error line when the organization or the file manager version
// is refused; warns, and still returns true, when eof_address is not physical_eof.
bool check_header(Writer& out, const FileHeader& h, std::uint32_t physical_eof);

// Writes the header block to the new file with an empty freelist, at once, so that a new file
// that cannot be written is found before the walk. Returns 0, or the exit status after the
// failure has been reported.
int write_header_block(RunState& state);

// Rewrites the new file's file header, through the descriptor that wrote it, with eof_address set
// to the size written, which it also keeps as the state's new_eof. Flush the new file first.
bool patch_new_header(RunState& state);

}  // namespace datmend
