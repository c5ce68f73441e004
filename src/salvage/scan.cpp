// The scan tests candidates one byte apart, in the order of the rules below, but over the
// damaged file's in-memory window: a candidate costs a few comparisons, not a seek and a read.
#include "salvage/scan.hpp"

#include "salvage/dump.hpp"

namespace datmend {

namespace {

// A candidate whose header and trailer lie inside the file is plausible when its type is
// known, it is not empty, its length suits a fixed-length file, and its trailer matches.
bool is_plausible(SalvageState& state, std::uint32_t c) {
    const auto head = state.damaged.view(c, kRecordHeaderSize);
    if (head.size() < kRecordHeaderSize) {
        return false;
    }
    const std::uint8_t type = head[0];
    if (type > kHighestKnownType) {
        return false;
    }
    const std::uint16_t length = get_le16(head.data() + 2);
    if (length == 0) {
        return false;
    }
    if (c + length + kFramingSize > state.physical_eof) {
        return false;
    }
    if (has_wrong_fixed_length(state.file_header, type, length)) {
        return false;
    }
    const auto whole = state.damaged.view(c, length + kFramingSize);
    return whole.size() == length + kFramingSize &&
           decode_trailer(whole.data() + kRecordHeaderSize + length) == length;
}

}  // namespace

std::uint32_t find_next_record(SalvageState& state, std::uint32_t start) {
    const std::uint32_t eof = state.physical_eof;
    // Every candidate has at least 16 bytes after it; the last one read is eof - 16.
    for (std::uint32_t c = start; eof - c > kFramingSize;) {
        ++c;
        if (is_plausible(state, c)) {
            state.record = decode_record_header(state.damaged.view(c, kRecordHeaderSize).data());
            state.trailer = state.record.rec_length;
            dump_discarded(state, start, c - 1);
            state.damaged.seek(c + kRecordHeaderSize);
            return c;
        }
    }
    dump_discarded(state, start, eof - 1);
    return 0;
}

}  // namespace datmend
