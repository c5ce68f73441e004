// Each fault has its own message, printed where it is found; several have no final newline and
// run on into what follows, the dump's header or the offset line. Every fault is followed by the
// scan: the length, the field most likely to be damaged, may be all that is wrong.
#include "salvage/walk.hpp"

#include "io/text.hpp"
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

// The landings of the scan a length is looked for at, the first and those after it.
constexpr int kMostLandings = 4;

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
    std::uint32_t p = pos_;
    auto record = record_at(file_, p, eof);
    const auto end = static_cast<std::uint32_t>(p + record.size());
    const FrameFault fault = check_frame(record.data(), p, file_.readable_until(p, end), rules_);
    if (fault == FrameFault::header_past_end) {
        diagnose(fault, p, record.data());
        discard(p, eof - 1);
        pos_ = eof;
        return std::nullopt;
    }
    if (fault != FrameFault::none) {
        // A walk that repairs keeps the diagnosis until the scan's landing has not mended the
        // record, and tells it only then.
        if (repair_) {
            keep_diagnosis(fault, p, record.data());
        } else {
            diagnose(fault, p, record.data());
        }
        file_.hold(p);  // the stretch from p is dumped once the scan has found its end
        const auto landing = find_next_record(file_, rules_, p);
        if (repair_) {
            if (auto mended = mend_or_tell(fault, p, landing)) {
                file_.release();
                return mended;
            }
        }
        discard(p, landing ? *landing - 1 : eof - 1);
        file_.release();
        if (!landing) {
            pos_ = eof;
            return std::nullopt;
        }
        // The scan lands only on a record that passes check_frame(): it lies whole in the file.
        p = *landing;
        record = record_at(file_, p, eof);
    }
    pos_ = static_cast<std::uint32_t>(p + record.size());
    return FramedRecord{p, record, record_length(record.data())};
}

__attribute__((noinline)) void Walk::keep_diagnosis(FrameFault fault, std::uint32_t p,
                                                    const std::uint8_t* record) {
    kept_ = static_cast<std::size_t>(
        format_diagnosis(diagnosis_.data(), fault, p, record, rules_.physical_eof) -
        diagnosis_.data());
}

__attribute__((noinline)) std::optional<FramedRecord> Walk::mend_or_tell(
    FrameFault fault, std::uint32_t p, std::optional<std::uint32_t> landing) {
    auto mended = mend(fault, p, landing);
    if (!mended && log_ != nullptr) {
        log_->report.write(diagnosis_.data(), kept_);
    }
    return mended;
}

// Where two of the three witnesses of where the record at p ends agree, and none reads 0: its
// length and the end of the file or a chain of records that starts there (its trailer alone
// disagreeing), or the scan's landing, a chain, or the end of the file, and the trailer just
// before it (its length alone disagreeing), every byte up to there readable.
std::optional<FramedRecord> Walk::mend(FrameFault fault, std::uint32_t p,
                                       std::optional<std::uint32_t> landing) {
    const std::uint8_t* header = file_.view(p, kRecordHeaderSize).data();
    const std::uint8_t type = record_type(header);
    const std::uint32_t length = record_length(header);
    if (type > kHighestKnownType || length == 0) {
        return std::nullopt;
    }
    const std::uint32_t eof = rules_.physical_eof;
    if (fault == FrameFault::trailer_mismatch) {
        const std::uint32_t end = p + framed_size(length);
        const bool ends = end == eof || is_chained_record(file_, rules_, end);
        if (ends && record_trailer(file_.view(p, end - p).data(), length) != 0 &&
            !has_chain_inside(landing, end)) {
            return repaired(p, length, true);
        }
    }
    // Past a landing that no chain confirms (record-shaped bytes of the record's own data), the
    // scan goes on, a few landings at most, within the longest record.
    const std::uint32_t farthest = p + kLongestFrame;
    for (int tries = 0; tries < kMostLandings; ++tries) {
        const std::uint32_t at = landing ? *landing : eof;
        if (at > farthest) {
            break;
        }
        if (!landing || is_chained_record(file_, rules_, at)) {
            return fits_trailer_before(p, type, at)
                       ? std::optional(repaired(p, at - p - kFramingSize, false))
                       : std::nullopt;
        }
        landing = find_next_record(file_, rules_, at, farthest + 1);
    }
    return std::nullopt;
}

// True when a chain of records lies at landing or at a landing after it before end: records that
// taking the record that ends at end whole would lose.
bool Walk::has_chain_inside(std::optional<std::uint32_t> landing, std::uint32_t end) {
    for (; landing && *landing < end; landing = find_next_record(file_, rules_, *landing, end)) {
        if (is_chained_record(file_, rules_, *landing)) {
            return true;
        }
    }
    return false;
}

// True when the record at p of type, ending at end, is told so by the trailer just before end:
// that trailer plus the framing is the distance, a record's length, every byte readable.
bool Walk::fits_trailer_before(std::uint32_t p, std::uint8_t type, std::uint32_t end) {
    if (end - p < kShortestFrame || !file_.readable(p, end - p)) {
        return false;
    }
    const std::uint32_t taken = decode_trailer(file_.view(end - kTrailerSize, kTrailerSize).data());
    const bool fits =
        !rules_.fixed_length || type > kDeletedRecord || taken == rules_.record_length;
    return end - p == std::uint64_t{taken} + kFramingSize && fits;
}

// The record at p taken with length, told as repaired, with its header and trailer as read.
FramedRecord Walk::repaired(std::uint32_t p, std::uint32_t length, bool trailer_wrong) {
    const auto record = file_.view(p, framed_size(length));
    if (log_ != nullptr) {
        ++log_->error_count;
        ++log_->repaired;
        char* const start = log_->report.reserve(kLongestRepair);
        log_->report.commit(
            static_cast<std::size_t>(format_repair(start, p, trailer_wrong) - start));
        print_labelled_row(log_->report, p, record.data(), kRecordHeaderSize);
        const std::uint32_t trailer = p + kRecordHeaderSize + length;
        print_labelled_row(log_->report, trailer, record.data() + kRecordHeaderSize + length,
                           kTrailerSize);
    }
    pos_ = p + framed_size(length);
    return FramedRecord{p, record, length};
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
