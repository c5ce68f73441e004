// The record reader: delivers the damaged file's records one at a time, each checked against
// its framing, and diagnoses, dumps and resynchronises where the framing is broken.
#pragma once

#include <algorithm>
#include <cstddef>

#include "salvage/salvage_state.hpp"

namespace datmend {

// Reads the record at the damaged file's position. Returns true with the record's header,
// trailer and data (a view of the window) in the salvage state and the position past its
// trailer; false when the walk must end, after the diagnosis and a dump to the end of the file.
bool read_next_record(SalvageState& state);

// The road most records take, with no call and no copy per record. From the position on, hands
// each record that the window already holds whole and that passes every check to
// take(record), record pointing at its header in the window, until a record that does not,
// or take returns false; the position then moves past the records taken. Nothing is printed,
// read or moved, and the state's record in hand is left alone. take may rewrite the record
// where it lies: nothing reads it again. The pointers stay valid until the next call that
// reads, such as read_next_record, which must decide on the record this stopped at.
template <typename Take>
void take_records_in_window(SalvageState& state, Take&& take) {
    const std::uint32_t p = state.damaged.tell();
    const auto held = state.damaged.held_readable(p);
    std::uint8_t* const first = held.data();
    const std::size_t size = std::min<std::size_t>(held.size(), state.physical_eof - p);
    const FileHeader& file = state.file_header;
    std::size_t at = 0;
    while (size - at >= kRecordHeaderSize) {
        std::uint8_t* record = first + at;
        const std::uint16_t length = get_le16(record + 2);
        const std::size_t framed = std::size_t{length} + kFramingSize;
        if (framed > size - at || length == 0 ||
            decode_trailer(record + kRecordHeaderSize + length) != length ||
            has_wrong_fixed_length(file, record[0], length) || !take(record)) {
            break;
        }
        at += framed;
    }
    state.damaged.seek(p + static_cast<std::uint32_t>(at));
}

}  // namespace datmend
