// Each check has its own message, printed where it is found; several have no final newline and
// run on into what follows, the dump's header or the offset line.
#include "salvage/reader.hpp"

#include <span>

#include "salvage/dump.hpp"
#include "salvage/scan.hpp"

namespace datmend {

namespace {

// An empty record is damage like any other (a zeroed stretch reads as a chain of them). Its
// message is the data-read failure's, with the offset of the empty data and the bytes left.
void print_empty_record(SalvageState& state, std::uint32_t p) {
    Report& report = state.report;
    report.put("\n*** Bad Read on Data Block! ***    Offset = ");
    report.put_decimal(static_cast<std::int32_t>(p + kRecordHeaderSize));
    report.put(", Len = ");
    report.put_decimal(static_cast<std::int32_t>(state.physical_eof - (p + kRecordHeaderSize)));
    report.put("\n");
}

// A byte of the record could not be read from the disk: the record cannot be trusted.
bool unreadable(SalvageState& state, std::uint32_t p) {
    state.report.put("\n*** Unreadable Record, Read Error! ***\n    Offset = ");
    state.report.put_decimal(static_cast<std::int32_t>(p));
    state.report.put("\n");
    return false;
}

// "    Offset = <p>, Header Len = <length>", without a newline.
void print_offset_and_length(Report& report, std::uint32_t p, std::uint32_t length) {
    report.put("    Offset = ");
    report.put_decimal(static_cast<std::int32_t>(p));
    report.put(", Header Len = ");
    report.put_decimal(static_cast<std::int32_t>(length));
}

// Runs the checks on the record at p in their order. True when it is intact, with its header
// and trailer in the state and whole holding the record with its framing; false after the first
// failed check has printed its diagnosis, and the walk must resynchronise.
bool check_record(SalvageState& state, std::uint32_t p, std::span<const std::uint8_t>& whole) {
    const std::uint32_t eof = state.physical_eof;
    const auto head = state.damaged.view(p, kRecordHeaderSize);
    if (!state.damaged.readable(p, kRecordHeaderSize)) {
        return unreadable(state, p);
    }
    state.record = decode_record_header(head.data());
    const std::uint32_t length = state.record.rec_length;

    if (has_wrong_fixed_length(state.file_header, state.record.rec_type, state.record.rec_length)) {
        state.report.put("\n*** Wrong Length in Record Header! ***\n");
        print_offset_and_length(state.report, p, length);
        state.report.put("\n");
        return false;
    }
    // The length is the field most likely to be damaged: records may still follow.
    if (p + kRecordHeaderSize + length > eof) {
        state.report.put("\n*** Incomplete Data Record at end of file! ***");
        return false;
    }
    if (p + kFramingSize + length > eof) {
        state.report.put("\n*** Incomplete Record Trailer at end of file! ***");
        return false;
    }
    // The whole record at once: the window then refills at most once per record.
    whole = state.damaged.view(p, kFramingSize + length);
    if (!state.damaged.readable(p, kFramingSize + length)) {
        return unreadable(state, p);
    }
    state.trailer = decode_trailer(whole.data() + kRecordHeaderSize + length);

    if (state.trailer != length) {
        state.report.put("\n*** Currupt Data, Header does not match Trailer! ***\n");
        print_offset_and_length(state.report, p, length);
        state.report.put(", Trailer Len = ");
        state.report.put_decimal(static_cast<std::int32_t>(state.trailer));  // 2^31 up: negative
        state.report.put("\n");
        return false;
    }
    if (length == 0) {
        print_empty_record(state, p);
        return false;
    }
    return true;
}

}  // namespace

bool read_next_record(SalvageState& state) {
    std::uint32_t p = state.damaged.tell();
    if (p + kRecordHeaderSize > state.physical_eof) {
        state.report.put("\n*** Incomplete Record Header at end of file! ***");
        dump_discarded(state, p, state.physical_eof - 1);
        return false;
    }
    // A landing of the scan passes every check below, since the scan tested the same rules;
    // checking it again costs little and keeps one road to the delivered record.
    for (;;) {
        std::span<const std::uint8_t> whole;
        if (check_record(state, p, whole)) {
            const std::uint32_t length = state.record.rec_length;
            state.record_data = whole.subspan(kRecordHeaderSize, length);
            state.damaged.seek(p + kFramingSize + length);
            return true;
        }
        p = find_next_record(state, p);
        if (p == 0) {
            return false;
        }
    }
}

}  // namespace datmend
