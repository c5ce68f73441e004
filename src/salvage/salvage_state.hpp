// The salvage engine's share of a run: the damaged file as it is walked, the record in hand,
// the count of dumped stretches and the report. The driver's run state holds one and passes it
// by reference to the reader, the scan, the dump and the copy loop; nothing of it is global.
#pragma once

#include <cstdint>
#include <span>

#include "format/layout.hpp"
#include "io/report.hpp"
#include "salvage/damaged_file.hpp"

namespace datmend {

struct SalvageState {
    DamagedFile damaged;
    std::uint32_t physical_eof = 0;  // size of the damaged file, below 2^31; bounds every read
    FileHeader file_header;          // as read, with freelist_address cleared once written

    // The record being read: its header and trailer value.
    RecordHeader record;
    std::uint32_t trailer = 0;

    // The record's data as the damaged file's window holds it: no copy is made. Valid until
    // the file is read again, which is long enough for the copy loop to write it out.
    std::span<const std::uint8_t> record_data;

    std::uint32_t error_count = 0;  // one per dumped stretch
    // Bytes of all dumped stretches together. Only the test checker reads it, to prove that
    // every byte of the damaged file is accounted for.
    std::uint64_t dumped_bytes = 0;

    Report report;  // standard output
};

// Ends the walk: closes the damaged file and releases its window.
inline void end_walk(SalvageState& s) {
    s.record_data = {};
    s.damaged.close();
}

}  // namespace datmend
