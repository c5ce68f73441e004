// Every fault but a header cut by the end of the file is followed by the scan, unless the record
// is repaired; a stretch is told once the scan has found its end, while the window still holds
// its start, so that a sink that dumps it reads it from there.
#include "salvage/walk.hpp"

#include <algorithm>

#include "salvage/scan.hpp"

namespace datmend {

namespace {

// What the record at p, its bytes at record (as many as lie in the file), is diagnosed with.
Diagnosis diagnosis_of(FrameFault fault, std::uint32_t p, const std::uint8_t* record) {
    Diagnosis why{fault, p, 0, 0};
    if (fault != FrameFault::header_past_end) {
        why.length = record_length(record);
    }
    if (fault == FrameFault::trailer_mismatch) {
        why.trailer = record_trailer(record, why.length);
    }
    return why;
}

FramedRecord framed(std::uint32_t p, const std::uint8_t* record, std::uint32_t length) {
    RecordHeader header = decode_record_header(record);
    header.rec_length = static_cast<std::uint16_t>(length);
    return {p, header, {record_data(record), length}, length};
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
            return framed(p, record.data(), record_length(record.data()));
        }
        const Diagnosis why = diagnosis_of(fault, p, record.data());
        if (fault == FrameFault::header_past_end) {
            discard(p, eof - 1, why);
            pos_ = eof;
            return std::nullopt;
        }
        if (repair_) {
            if (auto mended = mend(fault, p)) {
                return mended;
            }
            damaged_.note(p, why.length);
        }
        file_.hold(p);  // the stretch from p is dumped once the scan has found its end
        const auto landing = find_next_record(file_, rules_, p, ~std::uint32_t{0}, found_);
        discard(p, landing ? *landing - 1 : eof - 1, why);
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

// Out of the walk's loop: on a file that is all damage, the repair is looked for at every record.
__attribute__((noinline)) std::optional<FramedRecord> Walk::mend(FrameFault fault,
                                                                 std::uint32_t p) {
    const auto repair = find_repair(file_, rules_, fault, p, damaged_);
    if (!repair) {
        return std::nullopt;
    }
    // Copied only on bytes read in this pass: a sector that fails now is damage still.
    const std::uint32_t length = repair->length;
    const auto record = file_.view(p, framed_size(length));
    if (!file_.readable(p, framed_size(length))) {
        return std::nullopt;
    }
    if (found_ != nullptr) {
        RepairedRecord told{p, length, repair->trailer_wrong, {}, {}};
        std::copy_n(record.data(), kRecordHeaderSize, told.header.begin());
        std::copy_n(record.data() + kRecordHeaderSize + length, kTrailerSize, told.trailer.begin());
        found_->repaired(told);
    }
    pos_ = p + framed_size(length);
    return framed(p, record.data(), length);
}

void Walk::discard(std::uint32_t first, std::uint32_t last, const Diagnosis& why) {
    if (found_ != nullptr) {
        found_->discarded({first, last, why, file_.unreadable_in(first, last + 1)});
    }
}

}  // namespace datmend
