// The copy loop that disposes of every record the walk delivers by its type. A write that fails
// ends the loop at once and comes back as a WriteFailure, naming the file and the system's error
// number; the caller reports it.
#pragma once

#include <cstdint>
#include <functional>

#include "io/writer.hpp"
#include "salvage/walk.hpp"

namespace datmend {

// What the copy loop did with the records it was given.
struct CopyCounts {
    std::uint32_t active = 0;
    std::uint32_t deleted = 0;
    std::uint32_t overhead = 0;
    // Byte totals, framing included: for the test checker, the proof that every byte of the
    // damaged file is accounted for.
    std::uint64_t active_bytes = 0;
    std::uint64_t deleted_bytes = 0;
    std::uint64_t overhead_bytes = 0;
};

// What the copy loop did: the records, and the first write that failed, if any.
struct Copied {
    CopyCounts counts;
    WriteFailure failure;
};

// Whoever watches the copy loop: told where the walk is and what it has copied, each time the
// walk has read a new window of the file, so at most once per window.
using CopyWatch = std::function<void(const Walk& walk, const CopyCounts& counts)>;

// Walks to the end: active records go to new_file renumbered, deleted records' data to
// deleted_file when there is one (nullptr otherwise), everything else is dropped as overhead.
// A write that fails ends the walk there. watch, when there is one, watches.
Copied copy_records(Walk& walk, Writer& new_file, Writer* deleted_file,
                    const CopyWatch& watch = {});

}  // namespace datmend
