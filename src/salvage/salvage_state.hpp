// The salvage engine's share of a run: the damaged file as it is walked, the record in hand,
// the count of dumped stretches and the report. The driver's run state holds one and passes it
// by reference to the reader, the scan, the dump and the copy loop; nothing of it is global.
#pragma once

#include <cstdint>
#include <memory>

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

    // Reused for every record's data; it only grows, to exactly the longest record so far.
    std::unique_ptr<std::uint8_t[]> record_buffer;
    std::uint32_t record_capacity = 0;  // bytes in record_buffer; 0 when it is absent

    std::uint32_t error_count = 0;  // one per dumped stretch
    // Bytes of all dumped stretches together. Only the test checker reads it, to prove that
    // every byte of the damaged file is accounted for.
    std::uint64_t dumped_bytes = 0;

    Report report;  // standard output
};

// Ends the walk: releases the record buffer and closes the damaged file.
inline void end_walk(SalvageState& s) {
    s.record_buffer.reset();
    s.record_capacity = 0;
    s.damaged.close();
}

}  // namespace datmend
