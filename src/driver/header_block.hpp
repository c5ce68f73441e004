// The header block, in one place: read from the damaged file and judged, the records vouching
// for it where it is damaged; reported; written to the new file; and patched there once the new
// file is complete.
#pragma once

#include <cstdint>

#include "driver/run_state.hpp"

namespace datmend {

enum class HeaderVerdict {
    whole,      // the file header is used as read
    rebuilt,    // damaged or contradicted by the records, and rebuilt from them
    no_header,  // fewer than 16 bytes, or an unreadable header that no records vouch for
    refused,    // another kind of file, or a header that no records vouch for
};

// Reads the file header and judges it, reading the first records where it is damaged or says
// that they are of fixed length. Fills the state's header fields; prints nothing.
HeaderVerdict judge_file_header(RunState& state);

// The report of a header that is refused: the header report as read and the failed check's line.
void print_refused_header(RunState& state);

// The report of a header that is used: as read (or that it could not be read), the failed check
// and the end-of-file warning; for a rebuilt header, what it was rebuilt as, and its 16 bytes as
// read dumped as a discarded stretch, which counts as a file error.
void report_file_header(RunState& state);

// Writes the header block to the new file with an empty freelist, at once, so that a new file
// that cannot be written is found before the walk. Returns 0, or the exit status after the
// failure has been reported.
int write_header_block(RunState& state);

// Rewrites the new file's file header, through the descriptor that wrote it, with eof_address set
// to the size written, which it also keeps as the state's new_eof. Flush the new file first.
bool patch_new_header(RunState& state);

}  // namespace datmend
