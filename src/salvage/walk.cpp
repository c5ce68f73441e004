// Each fault has its own message, printed where it is found; several have no final newline and
// run on into what follows, the dump's header or the offset line. Every fault but a header cut
// by the end of the file is followed by the scan, unless the record is repaired.
#include "salvage/walk.hpp"

#include "io/text.hpp"
#include "salvage/repair.hpp"
#include "salvage/scan.hpp"

namespace datmend {

namespace {

std::int32_t as_printed(std::uint32_t n) {
    return static_cast<std::int32_t>(n);  // 2^31 up shows negative, as it always has
}

// "    Offset = <p>, Header Len = <length>" at w, without a newline; returns its end.
char* format_offset_and_length(char* w, std::uint32_t p, std::uint32_t length) {
    w = format_text(w, "    Offset = ");
    w = format_decimal(w, as_printed(p));
    w = format_text(w, ", Header Len = ");
    return format_decimal(w, as_printed(length));
}

// Each diagnosis at w, returning its end. A function each, so that every text is copied with a
// length known where it is compiled.
char* format_unreadable(char* w, std::uint32_t p) {
    w = format_text(w, "\n*** Unreadable Record, Read Error! ***\n    Offset = ");
    w = format_decimal(w, as_printed(p));
    return format_text(w, "\n");
}

char* format_wrong_length(char* w, std::uint32_t p, std::uint32_t length) {
    w = format_text(w, "\n*** Wrong Length in Record Header! ***\n");
    w = format_offset_and_length(w, p, length);
    return format_text(w, "\n");
}

char* format_trailer_mismatch(char* w, std::uint32_t p, std::uint32_t length,
                              std::uint32_t trailer) {
    w = format_text(w, "\n*** Currupt Data, Header does not match Trailer! ***\n");
    w = format_offset_and_length(w, p, length);
    w = format_text(w, ", Trailer Len = ");
    w = format_decimal(w, as_printed(trailer));
    return format_text(w, "\n");
}

// An empty record is damage like any other (a zeroed stretch reads as a chain of them). Its
// message is the data-read failure's, with the offset of the empty data and the bytes left.
char* format_empty(char* w, std::uint32_t p, std::uint32_t physical_eof) {
    w = format_text(w, "\n*** Bad Read on Data Block! ***    Offset = ");
    w = format_decimal(w, as_printed(p + kRecordHeaderSize));
    w = format_text(w, ", Len = ");
    w = format_decimal(w, as_printed(physical_eof - (p + kRecordHeaderSize)));
    return format_text(w, "\n");
}

// The diagnosis of fault in the record at p, its bytes at record, at w; returns its end.
char* format_diagnosis(char* w, FrameFault fault, std::uint32_t p, const std::uint8_t* record,
                       std::uint32_t physical_eof) {
    if (fault == FrameFault::header_past_end) {
        return format_text(w, "\n*** Incomplete Record Header at end of file! ***");
    }
    const std::uint32_t length = record_length(record);
    switch (fault) {
        case FrameFault::unreadable:
            return format_unreadable(w, p);
        case FrameFault::wrong_fixed_length:
            return format_wrong_length(w, p, length);
        case FrameFault::data_past_end:
            return format_text(w, "\n*** Incomplete Data Record at end of file! ***");
        case FrameFault::trailer_past_end:
            return format_text(w, "\n*** Incomplete Record Trailer at end of file! ***");
        case FrameFault::trailer_mismatch:
            return format_trailer_mismatch(w, p, length, record_trailer(record, length));
        case FrameFault::empty:
            return format_empty(w, p, physical_eof);
        case FrameFault::header_past_end:
        case FrameFault::none:
            break;
    }
    return w;
}

// A repaired record's line.
constexpr std::size_t kLongestRepair = 80 + kDecimalWidth;

char* format_repair(char* w, std::uint32_t p, bool trailer_wrong) {
    w = format_text(w, "\n*** Record at offset ");
    w = format_decimal(w, as_printed(p));
    return format_text(w, trailer_wrong ? " repaired: trailer did not match its length ***\n"
                                        : " repaired: length did not match its trailer ***\n");
}

}  // namespace

std::optional<FramedRecord> Walk::next() {
    const std::uint32_t eof = rules_.physical_eof;
    for (;;) {
        const std::uint32_t p = pos_;
        const auto record = record_at(file_, p, eof);
        const auto end = static_cast<std::uint32_t>(p + record.size());
        const FrameFault fault =
            check_frame(record.data(), p, file_.readable_until(p, end), rules_);
        if (fault == FrameFault::none) {
            pos_ = end;
            return FramedRecord{p, record, record_length(record.data())};
        }
        if (fault == FrameFault::header_past_end) {
            diagnose(fault, p, record.data());
            discard(p, eof - 1);
            pos_ = eof;
            return std::nullopt;
        }
        // A walk that repairs keeps the diagnosis until the record has not been mended, and
        // tells it only then.
        if (repair_) {
            keep_diagnosis(fault, p, record.data());
            if (auto mended = mend_or_tell(fault, p)) {
                return mended;
            }
        } else {
            diagnose(fault, p, record.data());
        }
        file_.hold(p);  // the stretch from p is dumped once the scan has found its end
        const auto landing = find_next_record(file_, rules_, p);
        discard(p, landing ? *landing - 1 : eof - 1);
        file_.release();
        if (!landing) {
            pos_ = eof;
            return std::nullopt;
        }
        // The scan checked the record it lands on, but a dump longer than the window has read
        // the window again since, and a sector that reads well once may fail the next time: the
        // landing is checked again on the bytes now held, and damaged like any other if it
        // fails.
        pos_ = *landing;
    }
}

__attribute__((noinline)) void Walk::keep_diagnosis(FrameFault fault, std::uint32_t p,
                                                    const std::uint8_t* record) {
    kept_ = static_cast<std::size_t>(
        format_diagnosis(diagnosis_.data(), fault, p, record, rules_.physical_eof) -
        diagnosis_.data());
}

__attribute__((noinline)) std::optional<FramedRecord> Walk::mend_or_tell(FrameFault fault,
                                                                         std::uint32_t p) {
    if (const auto repair = find_repair(file_, rules_, fault, p, damaged_)) {
        // Copied only on bytes read in this pass: a sector that fails now is damage still.
        const auto record = file_.view(p, framed_size(repair->length));
        if (file_.readable(p, record.size())) {
            return repaired(p, record, *repair);
        }
    }
    damaged_.note(p, record_length(file_.view(p, kRecordHeaderSize).data()));
    if (log_ != nullptr) {
        log_->report.write(diagnosis_.data(), kept_);
    }
    return std::nullopt;
}

// The record at p, its bytes record, taken as repair says, told as repaired with its header and
// trailer as read.
FramedRecord Walk::repaired(std::uint32_t p, std::span<const std::uint8_t> record,
                            const Repair& repair) {
    if (log_ != nullptr) {
        ++log_->error_count;
        ++log_->repaired;
        char* const start = log_->report.reserve(kLongestRepair);
        log_->report.commit(
            static_cast<std::size_t>(format_repair(start, p, repair.trailer_wrong) - start));
        print_labelled_row(log_->report, p, record.data(), kRecordHeaderSize);
        const std::uint32_t trailer = p + kRecordHeaderSize + repair.length;
        print_labelled_row(log_->report, trailer, record.data() + kRecordHeaderSize + repair.length,
                           kTrailerSize);
    }
    pos_ = p + framed_size(repair.length);
    return FramedRecord{p, record, repair.length};
}

// Out of the walk's loop, where the compiler takes the messages for cold code and copies their
// texts a byte at a time; on a file that is all damage, one is printed for every record.
__attribute__((noinline)) void Walk::diagnose(FrameFault fault, std::uint32_t p,
                                              const std::uint8_t* record) {
    if (log_ != nullptr) {
        char* const start = log_->report.reserve(kLongestMessage);
        const char* const stop = format_diagnosis(start, fault, p, record, rules_.physical_eof);
        log_->report.commit(static_cast<std::size_t>(stop - start));
    }
}

void Walk::discard(std::uint32_t first, std::uint32_t last) {
    if (log_ != nullptr) {
        dump_discarded(file_, *log_, first, last);
    }
}

}  // namespace datmend
