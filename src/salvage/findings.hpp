// What the salvage finds, as values in file order that together account for every byte of the
// damaged file: the header block, runs of intact records, discarded stretches and repaired
// records. The walk, the header judgement and the copy loop send them to a Findings, the sinks
// chosen at the start of the run; the salvage itself prints nothing and knows no report.
#pragma once

#include <array>
#include <cstdint>

#include "format/layout.hpp"
#include "salvage/header_judgement.hpp"

namespace datmend {

// Why a stretch was discarded: the first fault of the record at offset, with the fields that its
// diagnosis names, as read.
struct Diagnosis {
    FrameFault fault = FrameFault::none;  // none: the file header, rebuilt from the records
    std::uint32_t offset = 0;             // of the record
    std::uint32_t length = 0;             // its header's rec_length
    std::uint32_t trailer = 0;            // what its trailer reads, for a trailer mismatch
};

// Bytes first to last inclusive of the damaged file, left out of the new file.
struct Stretch {
    std::uint32_t first = 0;
    std::uint32_t last = 0;  // first <= last < physical_eof
    Diagnosis why;
    std::uint32_t unreadable = 0;  // of its bytes, those the disk could not deliver
};

// Intact records lying end to end from first to end, each disposed of by its type.
struct RecordRun {
    std::uint32_t first = 0;
    std::uint32_t end = 0;       // first < end
    std::uint32_t active = 0;    // copied to the new file
    std::uint32_t deleted = 0;   // their data sent to the deleted-records file, or dropped
    std::uint32_t overhead = 0;  // dropped
};

// A record whose only damage was its length or its trailer, taken with length: its header and
// its trailer (at offset + 12 + length) as they were read. It is in a RecordRun too.
struct RepairedRecord {
    std::uint32_t offset = 0;
    std::uint32_t length = 0;
    bool trailer_wrong = false;  // else its length was
    std::array<std::uint8_t, kRecordHeaderSize> header{};
    std::array<std::uint8_t, kTrailerSize> trailer{};
};

// Where findings go. Each sink takes what it needs and ignores the rest.
class Findings {
  public:
    virtual ~Findings() = default;
    // The file header as judged, once, before anything else; where it was rebuilt, its 16 bytes
    // follow as a stretch discarded, without a record's diagnosis.
    virtual void header(const HeaderJudgement& judgement) = 0;
    virtual void records(const RecordRun& run) = 0;
    virtual void discarded(const Stretch& stretch) = 0;
    virtual void repaired(const RepairedRecord& record) = 0;
    // How far the reading of the file has come, told about once per window of it read, for a
    // sink that shows where a long run is.
    virtual void reached(std::uint32_t offset) = 0;
};

}  // namespace datmend
