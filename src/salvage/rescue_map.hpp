// The map of a rescued copy: GNU ddrescue's mapfile, whose blocks say which areas of the copy
// were read from the failing disk ("+") and which were not and hold zeros. Every sector of the
// damaged file that a block not rescued touches is unreadable, as if its read had failed.
#pragma once

#include <string>

#include "salvage/damaged_file.hpp"

namespace datmend {

// Reads the mapfile at path and marks in file (measured, named old_name in messages) every
// sector that a block not rescued touches. Returns "" when the map was read whole and fits the
// file; otherwise what is wrong, for "<mapfile>: <reason>": the system's words when it cannot
// be read, "line N: ..." for a line that is not what a mapfile holds, or "covers N bytes,
// <old_file> has M" for a map of another file. Memory stays bounded: sectors are marked as the
// blocks are read, and no block is kept.
std::string apply_rescue_map(const std::string& path, DamagedFile& file,
                             const std::string& old_name);

}  // namespace datmend
