// The scan tests candidates one byte apart over the damaged file's in-memory window, sixteen at
// a time for a known type and a length other than 0: a candidate costs an operation or two, not
// a seek and a read. A landing must be confirmed by what follows it, so that record-shaped bytes
// inside the data of a damaged record are not taken for a record while a genuine one overlaps
// them.
#include "salvage/scan.hpp"

#include <algorithm>
#include <bit>

#include "salvage/sift.hpp"

namespace datmend {

namespace {

// Candidates tested per view of the window. The view reaches a whole longest record past the
// last of them, so that every candidate's header, data and trailer are in it.
constexpr std::uint32_t kChunk = 32 * 1024;
static_assert(kChunk + kLongestFrame <= DamagedFile::kWindowSize / 2);

// The candidates of one view: its bytes from offset first, and where its readable bytes end for
// the candidate last asked about.
class Candidates {
  public:
    Candidates(DamagedFile& file, std::uint32_t first, std::uint32_t n)
        : file_(file),
          first_(first),
          bytes_(file.view(first, n).data()),
          end_(first + static_cast<std::uint32_t>(n)),
          readable_end_(file.readable_until(first, end_)) {}

    const std::uint8_t* at(std::uint32_t c) const { return bytes_ + (c - first_); }

    // Where the readable bytes from c end, within the view. Candidates are asked about in
    // rising order, and most lie before the first unreadable byte of the view.
    std::uint32_t readable_end(std::uint32_t c) {
        if (c >= readable_end_) {
            readable_end_ = file_.readable_until(c, end_);
        }
        return readable_end_;
    }

  private:
    DamagedFile& file_;
    std::uint32_t first_;
    const std::uint8_t* bytes_;
    std::uint32_t end_;
    std::uint32_t readable_end_;
};

bool is_plausible(Candidates& view, std::uint32_t c, const FrameRules& rules) {
    const std::uint8_t* record = view.at(c);
    return record[0] <= kHighestKnownType &&
           check_frame(record, c, view.readable_end(c), rules) == FrameFault::none;
}

// The first plausible candidate from first to last inclusive. The last that can be plausible is
// eof - 17, since a record has 16 bytes of framing and at least one of data; every candidate
// sifted has the 19 bytes that the sift reads.
std::optional<std::uint32_t> first_plausible(DamagedFile& file, const FrameRules& rules,
                                             std::uint32_t first, std::uint32_t last) {
    const std::uint32_t eof = rules.physical_eof;
    if (eof <= kFramingSize + 1) {
        return std::nullopt;
    }
    last = std::min(last, eof - kFramingSize - 1);
    for (std::uint32_t c = first; c <= last;) {
        const std::uint32_t n = std::min(kChunk, last - c + 1);
        Candidates view(file, c, std::min(n + kLongestFrame, eof - c));
        for (std::uint32_t i = 0; i < n; i += 16) {
            // The last few are not sifted: each is checked in full.
            std::uint32_t mask = n - i >= 16 ? sift16(view.at(c + i)) : (1u << (n - i)) - 1;
            for (; mask != 0; mask &= mask - 1) {
                const std::uint32_t k = i + static_cast<std::uint32_t>(std::countr_zero(mask));
                if (is_plausible(view, c + k, rules)) {
                    return c + k;
                }
            }
        }
        c += n;
    }
    return std::nullopt;
}

// Just past the record whose header is at c.
std::uint32_t record_end(DamagedFile& file, std::uint32_t c) {
    return c + get_le16(file.view(c, kRecordHeaderSize).data() + 2) + kFramingSize;
}

// True when the record at e would be read in sequence without any diagnosis; its type does not
// matter there. A record with an unreadable byte confirms nothing.
bool is_clean_record(DamagedFile& file, const FrameRules& rules, std::uint32_t e) {
    if (e + kRecordHeaderSize > rules.physical_eof) {
        return false;
    }
    const std::uint32_t n = std::min(record_end(file, e) - e, rules.physical_eof - e);
    const std::uint8_t* record = file.view(e, n).data();
    return check_frame(record, e, file.readable_until(e, e + n), rules) == FrameFault::none;
}

// A plausible candidate is confirmed when it ends the file or a clean record follows it.
bool is_confirmed(DamagedFile& file, const FrameRules& rules, std::uint32_t c) {
    const std::uint32_t end = record_end(file, c);
    return end == rules.physical_eof || is_clean_record(file, rules, end);
}

// Where the scan lands, given c, the first plausible candidate: c when it is confirmed,
// otherwise the first plausible and confirmed candidate inside c's extent, otherwise c.
std::uint32_t choose_landing(DamagedFile& file, const FrameRules& rules, std::uint32_t c) {
    if (is_confirmed(file, rules, c)) {
        return c;
    }
    const std::uint32_t end = record_end(file, c);
    for (auto inner = first_plausible(file, rules, c + 1, end - 1); inner;
         inner = first_plausible(file, rules, *inner + 1, end - 1)) {
        if (is_confirmed(file, rules, *inner)) {
            return *inner;
        }
    }
    return c;
}

}  // namespace

std::optional<std::uint32_t> find_next_record(DamagedFile& file, const FrameRules& rules,
                                              std::uint32_t start) {
    const auto found = first_plausible(file, rules, start + 1, rules.physical_eof - 1);
    if (!found) {
        return std::nullopt;
    }
    return choose_landing(file, rules, *found);
}

}  // namespace datmend
