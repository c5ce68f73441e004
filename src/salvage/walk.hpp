// The walk over the damaged file's records: it delivers them one at a time, each checked against
// its framing, and where the framing is broken it diagnoses, has the stretch dumped and counted,
// and goes on from the next plausible record. A walk without a damage log does all the same
// silently.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "format/layout.hpp"
#include "salvage/damaged_file.hpp"
#include "salvage/dump.hpp"
#include "salvage/repair.hpp"

namespace datmend {

// An intact record as the damaged file's window holds it: valid until the file is read again. A
// repaired record's header or trailer says otherwise than length, which is what it is taken
// with.
struct FramedRecord {
    std::uint32_t offset = 0;              // of its record header
    std::span<const std::uint8_t> framed;  // header, data and trailer
    std::uint32_t length = 0;              // of its data: framed.size() == framed_size(length)
};

// The messages are formatted in place, each into room for the longest of them (the trailer's,
// 132 bytes with three numbers of 11): with a file that is all damage, they are printed for
// every record.
constexpr std::size_t kLongestMessage = 160;

class Walk {
  public:
    // A walk over file's records from offset from, under rules. Damage is diagnosed, dumped and
    // counted in log; with no log (nullptr) nothing is printed or counted. Either way a sector
    // found unreadable stays unreadable for every later reader of file.
    Walk(DamagedFile& file, const FrameRules& rules, std::uint32_t from, DamageLog* log)
        : file_(file), rules_(rules), pos_(from), log_(log) {}

    // From now on a record whose only damage is its length or its trailer is taken, repaired:
    // where two of the three witnesses of where it ends (its length, its trailer, and the chain
    // of records after it) agree, and no witness reads zero. Each repair is told and counted as
    // a file error.
    void repair_records() { repair_ = true; }

    bool at_end() const { return pos_ >= rules_.physical_eof; }

    // Where the walk is, for whoever asks: the offset of the next record, and how many times the
    // walk has read a new window of the file, which moves on once per window at most.
    std::uint32_t position() const { return pos_; }
    std::uint64_t windows_read() const { return file_.windows_read(); }

    // The record at the position, or after damage the next intact one the scan finds, with the
    // position moved past it; nullopt when the walk has ended, the rest of the file dumped.
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
    void keep_diagnosis(FrameFault fault, std::uint32_t p, const std::uint8_t* record);
    std::optional<FramedRecord> mend_or_tell(FrameFault fault, std::uint32_t p);
    FramedRecord repaired(std::uint32_t p, std::span<const std::uint8_t> record,
                          const Repair& repair);
    void diagnose(FrameFault fault, std::uint32_t p, const std::uint8_t* record);
    void discard(std::uint32_t first, std::uint32_t last);

    DamagedFile& file_;
    FrameRules rules_;
    std::uint32_t pos_;  // where the next record starts
    DamageLog* log_;
    bool repair_ = false;
    // A diagnosis kept while a repair is looked for: its text and length.
    std::array<char, kLongestMessage> diagnosis_;
    std::size_t kept_ = 0;
    DamagedHeaders damaged_;  // not repaired, for the witnesses of later repairs
};

}  // namespace datmend
