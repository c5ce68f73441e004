// The walk over the damaged file's records: it delivers them one at a time, each checked against
// its framing, and where the framing is broken it tells the stretch it discards, with the
// diagnosis, and goes on from the next plausible record. It prints nothing: what it finds goes
// to the findings it is given, and a walk given none is silent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "format/layout.hpp"
#include "salvage/damaged_file.hpp"
#include "salvage/findings.hpp"
#include "salvage/repair.hpp"

namespace datmend {

// An intact record, or a repaired one, as it is to be written: its header with the length it is
// taken with, its data as the damaged file's window holds it (valid until the file is read
// again), and the trailer that repeats that length.
struct FramedRecord {
    std::uint32_t offset = 0;            // of its record header in the damaged file
    RecordHeader header;                 // as read, but rec_length: the length it is taken with
    std::span<const std::uint8_t> data;  // header.rec_length bytes
    std::uint32_t trailer = 0;           // == header.rec_length

    // Where the record ends in the damaged file.
    std::uint32_t end() const { return offset + framed_size(header.rec_length); }
};

class Walk {
  public:
    // A walk over file's records from offset from, under rules. What it finds goes to found;
    // with none (nullptr) it tells nothing. Either way a sector found unreadable stays
    // unreadable for every later reader of file.
    Walk(DamagedFile& file, const FrameRules& rules, std::uint32_t from, Findings* found)
        : file_(file), rules_(rules), pos_(from), found_(found) {}

    // From now on a record whose only damage is its length or its trailer is taken, repaired:
    // where two of the three witnesses of where it ends (its length, its trailer, and the chain
    // of records after it) agree (repair.hpp). Each repair is told.
    void repair_records() { repair_ = true; }

    bool at_end() const { return pos_ >= rules_.physical_eof; }

    // Where the walk is, for whoever asks: the offset of the next record, and how many times the
    // walk has read a new window of the file, which moves on once per window at most.
    std::uint32_t position() const { return pos_; }
    std::uint64_t windows_read() const { return file_.windows_read(); }

    // The record at the position, or after damage the next intact one the scan finds, with the
    // position moved past it; nullopt when the walk has ended, the rest of the file discarded.
    std::optional<FramedRecord> next();

    // The road most records take, with no call and no copy per record. From the position on,
    // hands each record that the window already holds whole and intact to take(record), record
    // pointing at its header in the window, until one that is not, or take returns false; the
    // position then moves past the records taken. Nothing is printed or read. take may rewrite
    // the record where it lies: nothing reads it again. The pointers stay valid until the next
    // call that reads, such as next(), which must decide on the record this stopped at.
    template <typename Take>
    void take_records_in_window(Take&& take) {
        const auto held = file_.held_readable(pos_);
        std::uint8_t* const first = held.data();
        const auto readable_end = static_cast<std::uint32_t>(pos_ + held.size());
        std::uint32_t at = 0;
        for (;;) {
            std::uint8_t* record = first + at;
            if (check_frame(record, pos_ + at, readable_end, rules_) != FrameFault::none ||
                !take(record)) {
                break;
            }
            at += framed_size(record_length(record));
        }
        pos_ += at;
    }

  private:
    std::optional<FramedRecord> mend(FrameFault fault, std::uint32_t p);
    void discard(std::uint32_t first, std::uint32_t last, const Diagnosis& why);

    DamagedFile& file_;
    FrameRules rules_;
    std::uint32_t pos_;  // where the next record starts
    Findings* found_;
    bool repair_ = false;
    DamagedHeaders damaged_;  // not repaired, for the witnesses of later repairs
};

}  // namespace datmend
