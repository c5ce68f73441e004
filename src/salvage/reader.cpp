// Each check has its own message, printed where it is found; several have no final newline and
// run on into what follows, the dump's header or the offset line.
#include "salvage/reader.hpp"

#include <span>

#include "salvage/dump.hpp"
#include "salvage/scan.hpp"

namespace datmend {

namespace {

// The messages are formatted in place, each into room for the longest of them (the trailer's,
// 132 bytes with three numbers of 11): with a file that is all damage, they are printed for
// every record.
constexpr std::size_t kLongestMessage = 160;

std::int32_t as_printed(std::uint32_t n) {
    return static_cast<std::int32_t>(n);  // 2^31 up shows negative, as it always has
}

// An empty record is damage like any other (a zeroed stretch reads as a chain of them). Its
// message is the data-read failure's, with the offset of the empty data and the bytes left.
void print_empty_record(SalvageState& state, std::uint32_t p) {
    char* const start = state.report.reserve(kLongestMessage);
    char* w = format_text(start, "\n*** Bad Read on Data Block! ***    Offset = ");
    w = format_decimal(w, as_printed(p + kRecordHeaderSize));
    w = format_text(w, ", Len = ");
    w = format_decimal(w, as_printed(state.physical_eof - (p + kRecordHeaderSize)));
    w = format_text(w, "\n");
    state.report.commit(static_cast<std::size_t>(w - start));
}

// A byte of the record could not be read from the disk: the record cannot be trusted.
bool unreadable(SalvageState& state, std::uint32_t p) {
    char* const start = state.report.reserve(kLongestMessage);
    char* w = format_text(start, "\n*** Unreadable Record, Read Error! ***\n    Offset = ");
    w = format_decimal(w, as_printed(p));
    w = format_text(w, "\n");
    state.report.commit(static_cast<std::size_t>(w - start));
    return false;
}

// "    Offset = <p>, Header Len = <length>" at w, without a newline; returns its end.
char* format_offset_and_length(char* w, std::uint32_t p, std::uint32_t length) {
    w = format_text(w, "    Offset = ");
    w = format_decimal(w, as_printed(p));
    w = format_text(w, ", Header Len = ");
    return format_decimal(w, as_printed(length));
}

void print_wrong_length(Report& report, std::uint32_t p, std::uint32_t length) {
    char* const start = report.reserve(kLongestMessage);
    char* w = format_text(start, "\n*** Wrong Length in Record Header! ***\n");
    w = format_offset_and_length(w, p, length);
    w = format_text(w, "\n");
    report.commit(static_cast<std::size_t>(w - start));
}

void print_trailer_mismatch(Report& report, std::uint32_t p, std::uint32_t length,
                            std::uint32_t trailer) {
    char* const start = report.reserve(kLongestMessage);
    char* w = format_text(start, "\n*** Currupt Data, Header does not match Trailer! ***\n");
    w = format_offset_and_length(w, p, length);
    w = format_text(w, ", Trailer Len = ");
    w = format_decimal(w, as_printed(trailer));
    w = format_text(w, "\n");
    report.commit(static_cast<std::size_t>(w - start));
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
        print_wrong_length(state.report, p, length);
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
        print_trailer_mismatch(state.report, p, length, state.trailer);
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
