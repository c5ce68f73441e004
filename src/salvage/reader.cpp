// Each check has its own message, printed where it is found; several have no final newline and
// run on into what follows, the dump's header or the offset line.
#include "salvage/reader.hpp"

#include <cstring>

#include "salvage/dump.hpp"
#include "salvage/scan.hpp"

namespace datmend {

namespace {

// Ends the walk with everything from p to the end of the file dumped.
bool give_up(RunState& state, const char* message, std::uint32_t p) {
    std::fputs(message, state.out);
    dump_discarded(state, p, state.physical_eof - 1);
    return false;
}

void print_bad_data_read(RunState& state, std::uint32_t p) {
    std::fputs("\n*** Bad Read on Data Block! ***", state.out);
    std::fprintf(state.out, "    Offset = %d, Len = %d\n", static_cast<int>(p + kRecordHeaderSize),
                 static_cast<int>(state.physical_eof - (p + kRecordHeaderSize)));
}

// Moves p on to the next plausible record; false when there is none and the walk ends.
bool resynchronise(RunState& state, std::uint32_t& p) {
    p = find_next_record(state, p);
    return p != 0;
}

// The buffer only grows, and then to exactly the record's length.
void make_room(RunState& state, std::uint32_t length) {
    if (state.record_buffer && state.record_capacity < length) {
        state.record_buffer.reset();
        state.record_capacity = 0;
    }
    if (!state.record_buffer) {
        state.record_buffer = std::make_unique_for_overwrite<std::uint8_t[]>(length);
        state.record_capacity = length;
    }
}

}  // namespace

bool read_next_record(RunState& state) {
    DamagedFile& file = state.damaged;
    const std::uint32_t eof = state.physical_eof;
    std::uint32_t p = file.tell();

    if (p + kRecordHeaderSize > eof) {
        return give_up(state, "\n*** Incomplete Record Header at end of file! ***", p);
    }
    const auto head = file.view(p, kRecordHeaderSize);
    if (head.size() != kRecordHeaderSize) {
        std::fputs("\n*** Bad read on record header! Datmendy Aborting! ***", state.out);
        dump_discarded(state, p, p + kRecordHeaderSize - 1);
        return false;
    }
    state.record = decode_record_header(head.data());

    if (has_wrong_fixed_length(state.file_header, state.record.rec_type, state.record.rec_length)) {
        std::fputs("\n*** Wrong Length in Record Header! ***\n", state.out);
        std::fprintf(state.out, "    Offset = %d, Header Len = %d\n", static_cast<int>(p),
                     static_cast<int>(state.record.rec_length));
        if (!resynchronise(state, p)) {
            return false;
        }
        // The scan has checked fit and trailer of what it found; the checks below pass for it.
    }

    std::uint32_t length = state.record.rec_length;
    if (p + kRecordHeaderSize + length > eof) {
        return give_up(state, "\n*** Incomplete Data Record at end of file! ***", p);
    }
    if (p + kFramingSize + length > eof) {
        return give_up(state, "\n*** Incomplete Record Trailer at end of file! ***", p);
    }
    // The whole record at once: the window then refills at most once per record.
    auto whole = file.view(p, kFramingSize + length);
    if (whole.size() != kFramingSize + length) {
        return give_up(state, "\n*** Bad read on record header! ***", p);
    }
    state.trailer = decode_trailer(whole.data() + kRecordHeaderSize + length);

    if (state.trailer != length) {
        std::fputs("\n*** Currupt Data, Header does not match Trailer! ***\n", state.out);
        std::fprintf(state.out, "    Offset = %d, Header Len = %d, Trailer Len = %d\n",
                     static_cast<int>(p), static_cast<int>(length),
                     static_cast<int>(static_cast<std::int32_t>(state.trailer)));
        if (!resynchronise(state, p)) {
            return false;
        }
    }
    // An empty record is damage like any other (a zeroed stretch reads as a chain of them):
    // say so, and go on at the next plausible record, which is never empty.
    if (state.record.rec_length == 0) {
        print_bad_data_read(state, p);
        if (!resynchronise(state, p)) {
            return false;
        }
    }

    length = state.record.rec_length;
    whole = file.view(p, kFramingSize + length);  // the scan may have moved the window
    if (whole.size() != kFramingSize + length) {
        print_bad_data_read(state, p);
        dump_discarded(state, p, eof - 1);
        return false;
    }
    make_room(state, length);
    std::memcpy(state.record_buffer.get(), whole.data() + kRecordHeaderSize, length);
    file.seek(p + kFramingSize + length);
    return true;
}

}  // namespace datmend
