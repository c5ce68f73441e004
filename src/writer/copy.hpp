// The copy loop that disposes of every record the walk delivers by its type. A write that fails
// ends the loop at once and comes back as a WriteFailure, naming the file and the system's error
// number; the caller reports it.
#pragma once

#include <cstdint>

#include "io/writer.hpp"
#include "salvage/findings.hpp"
#include "salvage/walk.hpp"

namespace datmend {

// Walks to the end: active records go to new_file renumbered, deleted records' data to
// deleted_file when there is one (nullptr otherwise), everything else is dropped as overhead.
// Each run of records taken goes to found, in file order with what the walk tells it, and how
// far the reading has come, once per window. A write that fails ends the walk there; returns it.
WriteFailure copy_records(Walk& walk, Writer& new_file, Writer* deleted_file, Findings& found);

}  // namespace datmend
