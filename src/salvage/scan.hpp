// Resynchronisation: after a record that contradicts the file, where the next plausible one is.
// The scan only searches: it prints, dumps and counts nothing.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>

#include "format/layout.hpp"
#include "salvage/damaged_file.hpp"
#include "salvage/findings.hpp"

namespace datmend {

// The first offset after start, and before before, at which a plausible record lies, preferring
// one that the record after it confirms; nullopt when there is none before the end of the file
// or before. A plausible record is intact by check_frame() under rules, of a type up to
// kHighestKnownType, and not empty. How far the search has read is told to progress, when
// given, as it goes.
std::optional<std::uint32_t> find_next_record(DamagedFile& file, const FrameRules& rules,
                                              std::uint32_t start,
                                              std::uint32_t before = ~std::uint32_t{0},
                                              Findings* progress = nullptr);

// Where the search for a chain of records stopped.
struct ChainFound {
    enum class Kind {
        chain,    // at: the first frame of a chain
        none,     // no chain starts before the end of the range (at)
        gave_up,  // at: the frame after which patience ran out; what lies beyond is unknown
    };
    Kind kind;
    std::uint32_t at;
};

// The first offset from first, and before end, at which a chain starts: a frame of any type that
// check_frame() passes, followed by the end of the file or another such frame. After patience
// frames that start no chain (record-shaped bytes of data, a run of damaged records), it gives
// up, so that the search costs a few frames and not a whole record's length of them.
ChainFound find_chain(DamagedFile& file, const FrameRules& rules, std::uint32_t first,
                      std::uint32_t end, int patience);

// The record at p (<= eof) as the window holds it: its header, data and trailer, or as many of
// them as lie before eof; empty when not even its header does. Valid until the file is read
// again.
inline std::span<const std::uint8_t> record_at(DamagedFile& file, std::uint32_t p,
                                               std::uint32_t eof) {
    if (eof - p < kRecordHeaderSize) {
        return {};
    }
    const std::uint32_t length = record_length(file.view(p, kRecordHeaderSize).data());
    return file.view(p, std::min(framed_size(length), eof - p));
}

// True when the record at e would be read in sequence without any diagnosis; its type does not
// matter there. A record with an unreadable byte confirms nothing.
inline bool is_clean_record(DamagedFile& file, const FrameRules& rules, std::uint32_t e) {
    const auto record = record_at(file, e, rules.physical_eof);
    const auto end = static_cast<std::uint32_t>(e + record.size());
    return check_frame(record.data(), e, file.readable_until(e, end), rules) == FrameFault::none;
}

// Just past the record at c, whose header lies in the file.
inline std::uint32_t record_end(DamagedFile& file, std::uint32_t c) {
    return c + framed_size(record_length(file.view(c, kRecordHeaderSize).data()));
}

// A plausible record at c is confirmed when it ends the file or a clean record follows it.
inline bool is_confirmed(DamagedFile& file, const FrameRules& rules, std::uint32_t c) {
    const std::uint32_t end = record_end(file, c);
    return end == rules.physical_eof || is_clean_record(file, rules, end);
}

// True when the record at c reads clean and is confirmed: the chain a landing is judged by.
inline bool is_chained_record(DamagedFile& file, const FrameRules& rules, std::uint32_t c) {
    return is_clean_record(file, rules, c) && is_confirmed(file, rules, c);
}

}  // namespace datmend
