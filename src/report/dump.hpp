// Hex dump of a stretch of the damaged file that is left out of the new file, as the report
// shows it: the stretch's line, then its bytes in rows of 16.
#pragma once

#include <cstdint>

#include "io/writer.hpp"
#include "salvage/damaged_file.hpp"

namespace datmend {

// Which rows of a dump are printed.
enum class DumpRows {
    all,
    squeezed,  // a row that repeats the one before it is not printed, the first of them as "*"
    none,      // the stretch's own line alone
};

// Prints the bytes at offsets first to last inclusive (last < the file's physical_eof) as rows
// of 16 to report, after the stretch's own line. A byte the disk could not deliver shows as "??"
// and "~".
void print_dump(Writer& report, DamagedFile& file, std::uint32_t first, std::uint32_t last,
                DumpRows rows = DumpRows::all);

// Prints the n bytes (1 <= n <= 16) at bytes in one row of a dump, labelled with label.
void print_labelled_row(Writer& report, std::uint32_t label, const std::uint8_t* bytes,
                        std::uint32_t n);

}  // namespace datmend
