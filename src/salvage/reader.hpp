// The record reader: delivers the damaged file's records one at a time, each checked against
// its framing, and diagnoses, dumps and resynchronises where the framing is broken.
#pragma once

#include "salvage/salvage_state.hpp"

namespace datmend {

// Reads the record at the damaged file's position. Returns true with the record's header,
// trailer and data (a view of the window) in the salvage state and the position past its
// trailer; false when the walk
// must end, after the diagnosis and a dump to the end of the file.
bool read_next_record(SalvageState& state);

}  // namespace datmend
