// The scan tests candidates one byte apart over the damaged file's in-memory window, sixteen at
// a time for a known type and a length other than 0: a candidate costs an operation or two, not
// a seek and a read. A landing must be confirmed by what follows it, so that record-shaped bytes
// inside the data of a damaged record are not taken for a record while a genuine one overlaps
// them.
#include "salvage/scan.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "salvage/sift.hpp"

namespace datmend {

namespace {

// Candidates tested per view of the window. The view reaches a whole longest record past the
// last of them, so that every candidate's header, data and trailer are in it.
constexpr std::uint32_t kChunk = 32 * 1024;

// Candidates between two tellings of how far a long scan has come: a few windows' worth.
constexpr std::uint32_t kTellEvery = 1u << 20;
static_assert(kChunk + kLongestFrame <= DamagedFile::kWindowSize / 2);

// The sift of the last count (< 16) candidates at p, which have 3 bytes after them but not
// necessarily the 19 the sift reads: sifted in a copy padded with zeros, which pass nothing.
// Kept out of the scan's loop, whose every call would otherwise pay for the copy's stack guard.
template <bool kAnyType>
__attribute__((noinline)) std::uint32_t sift_last(const std::uint8_t* p, std::uint32_t count) {
    std::uint8_t padded[19] = {};
    std::memcpy(padded, p, count + 3);
    return sift16<kAnyType>(padded) & ((1u << count) - 1);
}

// The first plausible candidate from first to last inclusive, or last + 1 when there is none;
// with kAnyType, the first frame of any type that passes check_frame(). The last that can be
// plausible is the last at which the shortest record fits; every candidate sifted has the 19
// bytes that the sift reads. The scan starts past the header block, so the file is longer than
// the shortest record.
template <bool kAnyType = false>
std::uint32_t first_plausible(DamagedFile& file, const FrameRules& rules, std::uint32_t first,
                              std::uint32_t last) {
    const std::uint32_t eof = rules.physical_eof;
    const std::uint32_t none = last + 1;
    last = std::min(last, eof - kShortestFrame);
    for (std::uint32_t c = first; c <= last;) {
        const std::uint32_t most = std::min(kChunk, last - c + 1);
        const std::uint32_t end = c + std::min(most + kLongestFrame, eof - c);
        const std::uint8_t* bytes = file.view(c, end - c).data();
        // The candidates of a view end at its first unreadable byte, so that they all share one
        // readable end; a candidate whose header is unreadable is never plausible, so the next
        // view starts past the unreadable stretch.
        const std::uint32_t readable_end = file.readable_until(c, end);
        if (readable_end == c) {
            c = file.unreadable_until(c, last + 1);
            continue;
        }
        const std::uint32_t n = std::min(most, readable_end - c);
        for (std::uint32_t i = 0; i < n; i += 16) {
            std::uint32_t mask =
                n - i >= 16 ? sift16<kAnyType>(bytes + i) : sift_last<kAnyType>(bytes + i, n - i);
            for (; mask != 0; mask &= mask - 1) {
                const std::uint32_t k = i + static_cast<std::uint32_t>(std::countr_zero(mask));
                if (check_frame(bytes + k, c + k, readable_end, rules) == FrameFault::none) {
                    return c + k;
                }
            }
        }
        c += n;
    }
    return none;
}

// Where the scan lands, given c, the first plausible candidate: c when it is confirmed,
// otherwise the first plausible and confirmed candidate inside c's extent, otherwise c.
std::uint32_t choose_landing(DamagedFile& file, const FrameRules& rules, std::uint32_t c) {
    if (is_confirmed(file, rules, c)) {
        return c;
    }
    const std::uint32_t end = record_end(file, c);
    for (std::uint32_t inner = first_plausible(file, rules, c + 1, end - 1); inner < end;
         inner = first_plausible(file, rules, inner + 1, end - 1)) {
        if (is_confirmed(file, rules, inner)) {
            return inner;
        }
    }
    return c;
}

}  // namespace

std::optional<std::uint32_t> find_next_record(DamagedFile& file, const FrameRules& rules,
                                              std::uint32_t start, std::uint32_t before,
                                              Findings* progress) {
    const std::uint32_t end = std::min(before, rules.physical_eof);
    // A long scan tells how far it has come, once per stretch of candidates.
    std::uint32_t found = end;
    for (std::uint32_t first = start + 1; first < end; first += kTellEvery) {
        const std::uint32_t last = end - first > kTellEvery ? first + kTellEvery - 1 : end - 1;
        found = first_plausible(file, rules, first, last);
        if (found <= last || last + 1 >= end) {
            break;
        }
        if (progress != nullptr) {
            progress->reached(last + 1);
        }
    }
    if (found >= end) {
        return std::nullopt;
    }
    return choose_landing(file, rules, found);
}

ChainFound find_chain(DamagedFile& file, const FrameRules& rules, std::uint32_t first,
                      std::uint32_t end, int patience) {
    for (std::uint32_t c = first_plausible<true>(file, rules, first, end - 1); c < end;
         c = first_plausible<true>(file, rules, c + 1, end - 1)) {
        if (is_confirmed(file, rules, c)) {
            return {ChainFound::Kind::chain, c};
        }
        if (--patience == 0) {
            return {ChainFound::Kind::gave_up, c};
        }
    }
    return {ChainFound::Kind::none, end};
}

}  // namespace datmend
