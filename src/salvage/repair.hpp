// The repair of a record whose only damage is its length or its trailer: it is taken where two
// of the three witnesses of where it ends agree, each from outside the record and from no other
// record's fields. A search: it reads the damaged file and prints nothing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "format/layout.hpp"
#include "salvage/damaged_file.hpp"

namespace datmend {

// How a damaged record is taken.
struct Repair {
    std::uint32_t length = 0;    // of its data: the end it is taken to have is p + framed_size()
    bool trailer_wrong = false;  // its trailer disagreed (else its length did)
};

// The headers of the damaged records a walk has read and not repaired, the latest few: a record
// that begins inside one of them is made of its data, and that record's trailer, or the end
// after it, is no witness for such a record.
class DamagedHeaders {
  public:
    // The damaged record at p, whose header gives length.
    void note(std::uint32_t p, std::uint32_t length);
    // True when the trailer at t, which reads value, is one of a record noted before q: it gives
    // the distance from that record's start, or repeats that record's length (unless the length
    // is the file's fixed record length, which every trailer repeats) and is the first 4 bytes
    // after its header to do so.
    bool owns(DamagedFile& file, const FrameRules& rules, std::uint32_t q, std::uint32_t t,
              std::uint32_t value) const;

  private:
    struct Header {
        std::uint32_t p = 0;
        std::uint32_t length = 0;
    };
    static constexpr std::size_t kKept = 8;
    std::array<Header, kKept> headers_{};
    std::size_t count_ = 0;  // <= kKept; the latest is at (next_ + kKept - 1) % kKept
    std::size_t next_ = 0;
};

// How the damaged record at p, whose first fault is fault, is taken, if it is: its trailer
// alone wrong where its length and the chain of records at its end (or the end of the file)
// agree and no chain starts inside it; or its length alone wrong where the first chain after it
// (or the end of the file) lies just past a trailer that gives the distance. Neither witness is
// 0, of a record in earlier, or reaches over an unreadable byte; the type is a record type.
std::optional<Repair> find_repair(DamagedFile& file, const FrameRules& rules, FrameFault fault,
                                  std::uint32_t p, const DamagedHeaders& earlier);

}  // namespace datmend
