// The scan tests candidates one byte apart, in the order of the rules below, but over the
// damaged file's in-memory window: a candidate costs a few comparisons, not a seek and a read.
// A landing must be confirmed by what follows it, so that record-shaped bytes inside the data
// of a damaged record are not taken for a record while a genuine one overlaps them.
#include "salvage/scan.hpp"

#include "salvage/dump.hpp"

namespace datmend {

namespace {

// The length of the plausible record at c: its type is known, it is not empty, it fits in the
// file, its length suits a fixed-length file, its trailer matches and every byte of it could be
// read. 0 when c is not plausible.
std::uint32_t plausible_length(SalvageState& state, std::uint32_t c) {
    if (c + kFramingSize >= state.physical_eof) {
        return 0;  // not even a one-byte record fits
    }
    const auto head = state.damaged.view(c, kRecordHeaderSize);
    const std::uint8_t type = head[0];
    if (type > kHighestKnownType) {
        return 0;
    }
    const std::uint16_t length = get_le16(head.data() + 2);
    if (length == 0) {
        return 0;
    }
    if (c + length + kFramingSize > state.physical_eof) {
        return 0;
    }
    if (has_wrong_fixed_length(state.file_header, type, length)) {
        return 0;
    }
    const auto whole = state.damaged.view(c, length + kFramingSize);
    if (decode_trailer(whole.data() + kRecordHeaderSize + length) != length ||
        !state.damaged.readable(c, length + kFramingSize)) {
        return 0;
    }
    return length;
}

// True when the record at e would be read in sequence without any diagnosis; its type does not
// matter there. A record with an unreadable byte confirms nothing.
bool is_clean_record(SalvageState& state, std::uint32_t e) {
    if (e + kFramingSize > state.physical_eof) {
        return false;
    }
    const auto head = state.damaged.view(e, kRecordHeaderSize);
    const std::uint8_t type = head[0];
    const std::uint16_t length = get_le16(head.data() + 2);
    if (length == 0 || e + length + kFramingSize > state.physical_eof ||
        has_wrong_fixed_length(state.file_header, type, length)) {
        return false;
    }
    const auto whole = state.damaged.view(e, length + kFramingSize);
    return decode_trailer(whole.data() + kRecordHeaderSize + length) == length &&
           state.damaged.readable(e, length + kFramingSize);
}

// A plausible candidate of the given length is confirmed when it ends the file or a clean record
// follows it.
bool is_confirmed(SalvageState& state, std::uint32_t c, std::uint32_t length) {
    const std::uint32_t end = c + length + kFramingSize;
    return end == state.physical_eof || is_clean_record(state, end);
}

// Where the scan lands, given c, the first plausible candidate: c when it is confirmed,
// otherwise the first plausible and confirmed candidate inside c's extent, otherwise c.
std::uint32_t choose_landing(SalvageState& state, std::uint32_t c, std::uint32_t length) {
    if (is_confirmed(state, c, length)) {
        return c;
    }
    const std::uint32_t end = c + length + kFramingSize;
    for (std::uint32_t inner = c + 1; inner < end; ++inner) {
        const std::uint32_t inner_length = plausible_length(state, inner);
        if (inner_length != 0 && is_confirmed(state, inner, inner_length)) {
            return inner;
        }
    }
    return c;
}

}  // namespace

std::uint32_t find_next_record(SalvageState& state, std::uint32_t start) {
    const std::uint32_t eof = state.physical_eof;
    // Every candidate has at least 16 bytes after it; the last one read is eof - 16.
    for (std::uint32_t c = start; eof - c > kFramingSize;) {
        ++c;
        if (const std::uint32_t length = plausible_length(state, c); length != 0) {
            const std::uint32_t landing = choose_landing(state, c, length);
            state.record =
                decode_record_header(state.damaged.view(landing, kRecordHeaderSize).data());
            state.trailer = state.record.rec_length;
            dump_discarded(state, start, landing - 1);
            state.damaged.seek(landing + kRecordHeaderSize);
            return landing;
        }
    }
    dump_discarded(state, start, eof - 1);
    return 0;
}

}  // namespace datmend
