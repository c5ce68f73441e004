// The scan tests candidates one byte apart over the damaged file's in-memory window, sixteen at
// a time for the first two rules: a candidate costs an operation or two, not a seek and a read.
// A landing must be confirmed by what follows it, so that record-shaped bytes inside the data
// of a damaged record are not taken for a record while a genuine one overlaps them.
#include "salvage/scan.hpp"

#include <algorithm>
#include <bit>

#include "salvage/dump.hpp"
#include "salvage/sift.hpp"

namespace datmend {

namespace {

// Candidates tested per view of the window. The view reaches a whole longest record past the
// last of them, so that every candidate's header, data and trailer are in it.
constexpr std::uint32_t kChunk = 32 * 1024;
constexpr std::uint32_t kReach = 65535 + kFramingSize;
static_assert(kChunk + kReach <= DamagedFile::kWindowSize / 2);

// The rest of the rules for a candidate at c that passed the first two, its bytes at head:
// the record fits in the file, its length suits a fixed-length file, its trailer matches, and
// every byte of it could be read.
bool passes_the_rest(SalvageState& state, std::uint32_t c, const std::uint8_t* head) {
    const std::uint16_t length = get_le16(head + 2);
    return c + length + kFramingSize <= state.physical_eof &&
           !has_wrong_fixed_length(state.file_header, head[0], length) &&
           decode_trailer(head + kRecordHeaderSize + length) == length &&
           state.damaged.readable(c, length + kFramingSize);
}

// The first plausible candidate from first to last inclusive, or 0 when there is none. The last
// that can be plausible is eof - 17, since a record has 16 bytes of framing and at least one of
// data; every candidate tested so has the 16 bytes after it that the sift's loads need.
std::uint32_t first_plausible(SalvageState& state, std::uint32_t first, std::uint32_t last) {
    const std::uint32_t eof = state.physical_eof;
    if (eof <= kFramingSize + 1) {
        return 0;
    }
    last = std::min(last, eof - kFramingSize - 1);
    for (std::uint32_t c = first; c <= last;) {
        const std::uint32_t n = std::min(kChunk, last - c + 1);
        const std::uint32_t reach = std::min(n + kReach, eof - c);
        const std::uint8_t* bytes = state.damaged.view(c, reach).data();
        for (std::uint32_t i = 0; i < n; i += 16) {
            std::uint32_t mask = 0;
            if (n - i >= 16) {
                mask = sift16(bytes + i);
            } else {  // the last few, one at a time
                for (std::uint32_t k = i; k < n; ++k) {
                    if (bytes[k] <= kHighestKnownType && (bytes[k + 2] | bytes[k + 3]) != 0) {
                        mask |= 1u << (k - i);
                    }
                }
            }
            for (; mask != 0; mask &= mask - 1) {
                const std::uint32_t k = i + static_cast<std::uint32_t>(std::countr_zero(mask));
                if (passes_the_rest(state, c + k, bytes + k)) {
                    return c + k;
                }
            }
        }
        c += n;
    }
    return 0;
}

// Just past the record whose header is at c.
std::uint32_t record_end(SalvageState& state, std::uint32_t c) {
    return c + get_le16(state.damaged.view(c, kRecordHeaderSize).data() + 2) + kFramingSize;
}

// True when the record at e would be read in sequence without any diagnosis: it is not empty
// and passes the rest of the rules; its type does not matter there. A record with an
// unreadable byte confirms nothing.
bool is_clean_record(SalvageState& state, std::uint32_t e) {
    if (e + kFramingSize > state.physical_eof) {
        return false;
    }
    const std::uint32_t end = record_end(state, e);
    return end != e + kFramingSize && end <= state.physical_eof &&
           passes_the_rest(state, e, state.damaged.view(e, end - e).data());
}

// A plausible candidate is confirmed when it ends the file or a clean record follows it.
bool is_confirmed(SalvageState& state, std::uint32_t c) {
    const std::uint32_t end = record_end(state, c);
    return end == state.physical_eof || is_clean_record(state, end);
}

// Where the scan lands, given c, the first plausible candidate: c when it is confirmed,
// otherwise the first plausible and confirmed candidate inside c's extent, otherwise c.
std::uint32_t choose_landing(SalvageState& state, std::uint32_t c) {
    if (is_confirmed(state, c)) {
        return c;
    }
    const std::uint32_t end = record_end(state, c);
    for (std::uint32_t inner = c; (inner = first_plausible(state, inner + 1, end - 1)) != 0;) {
        if (is_confirmed(state, inner)) {
            return inner;
        }
    }
    return c;
}

}  // namespace

std::uint32_t find_next_record(SalvageState& state, std::uint32_t start) {
    const std::uint32_t eof = state.physical_eof;
    state.damaged.hold(start);
    const std::uint32_t found = first_plausible(state, start + 1, eof - 1);
    if (found == 0) {
        dump_discarded(state, start, eof - 1);
        state.damaged.release();
        return 0;
    }
    const std::uint32_t landing = choose_landing(state, found);
    state.record = decode_record_header(state.damaged.view(landing, kRecordHeaderSize).data());
    state.trailer = state.record.rec_length;
    dump_discarded(state, start, landing - 1);
    state.damaged.release();
    state.damaged.seek(landing + kRecordHeaderSize);
    return landing;
}

}  // namespace datmend
