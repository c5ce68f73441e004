// A mapfile refused, in words: what the map reader found wrong, told once on standard error as
// "<mapfile>: <what is wrong>\n", or, for a map that makes the file too large, as the refusal of
// a file that large.
#pragma once

#include <cstdio>
#include <string>

#include "salvage/rescue_map.hpp"

namespace datmend {

// Tells on err what is wrong with the map of old_file (fault is not ok) and returns the exit
// status.
int report_map_failure(std::FILE* err, const std::string& mapfile, const std::string& old_file,
                       const MapFault& fault);

}  // namespace datmend
