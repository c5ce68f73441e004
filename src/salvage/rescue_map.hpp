// The map of a rescued copy: GNU ddrescue's mapfile, whose blocks say which areas of the copy
// were read from the failing disk ("+") and which were not and hold zeros. Every sector of the
// damaged file that a block not rescued touches is unreadable, as if its read had failed.
#pragma once

#include <cstdint>
#include <string>

#include "salvage/damaged_file.hpp"

namespace datmend {

// The longest line a map may have, its newline left out: ddrescue's are under 100 bytes.
constexpr std::size_t kLongestMapLine = 1024;

// What reading a map came to: nothing wrong (Kind::none), or the first thing wrong, with the line
// it is on (counted from 1; 0 for the map as a whole) and the numbers involved. Which of the
// fields below a kind fills is said beside it; the others are 0 or empty.
struct MapFault {
    enum class Kind {
        none,
        unreadable,         // errnum: why the map could not be read
        line_too_long,      // a line of more than kLongestMapLine bytes
        no_status_line,     // a block, or the map's end, before any status line (line 0)
        not_a_status_line,  // not two or three words
        not_a_block,        // not three words
        unknown_status,     // word: the status, as it is in the map
        negative_number,
        not_a_number,
        number_too_large,  // past a mapfile's signed 64 bits
        empty_block,
        misplaced_block,   // found: where it starts; expected: where the blocks before it end
        ends_short,        // found: where the blocks end; expected: the file's size (line 0)
        rescued_past_end,  // expected: the file's size
        file_too_large,    // found: where the block ends, at or past the size limit
    };
    Kind kind = Kind::none;
    std::uint64_t line = 0;
    std::uint64_t found = 0;
    std::uint64_t expected = 0;
    int errnum = 0;
    std::string word;  // at most kLongestMapLine bytes

    bool ok() const { return kind == Kind::none; }
};

// Reads the mapfile open as fd, which it closes, and marks in file (measured) every sector that a
// block not rescued touches. Where such blocks reach past the file's end, as when the rescue could
// not read the original's last sectors and the copy stops short, the file is extended to the map's
// end, every byte past the copy's end unreadable; a block that would make it size_limit bytes or
// longer is refused. Reading stops at the first fault, and memory stays bounded whatever the map: a
// line at a time, no longer than kLongestMapLine, and no block kept.
MapFault apply_rescue_map(int fd, DamagedFile& file, std::uint64_t size_limit);

}  // namespace datmend
