// A record's three witnesses of where it ends: its length, its trailer, and the chain of records
// that starts at its end. A chain is any frame that reads clean, whatever its type, followed by
// the end of the file or another: an overhead record of any type stands in one as well as an
// active record does. A trailer or an end that belongs to an earlier damaged record's header
// tells where that record ends, not where one made of its data does.
#include "salvage/repair.hpp"

#include "salvage/scan.hpp"

namespace datmend {

namespace {

// The frames a search for a chain passes over before it gives up: record-shaped bytes in the
// data, and the records after a run of damage, are a few; a record's length of them is junk.
constexpr int kPatience = 16;

bool is_chain_at(DamagedFile& file, const FrameRules& rules, std::uint32_t end) {
    return end == rules.physical_eof || is_chained_record(file, rules, end);
}

// The end of the record at p that the first trailer from the one at from up to the one at last
// tells: the trailer reads the distance from p, less the framing; nullopt where none does. A
// record ends at the first trailer that says so. from > p + 12, last + 4 <= p + kLongestFrame.
std::optional<std::uint32_t> first_told_end(DamagedFile& file, std::uint32_t p, std::uint32_t from,
                                            std::uint32_t last) {
    if (from > last) {
        return std::nullopt;
    }
    const auto bytes = file.view(p, last + kTrailerSize - p);
    for (std::uint32_t t = from; t <= last; ++t) {
        const std::uint8_t* b = bytes.data() + (t - p);
        // A length is below 2^16: its trailer's upper bytes are 0, which few bytes of data pass.
        if (b[3] == 0 && b[2] == 0 && get_le32(b) == t - p - kRecordHeaderSize) {
            return t + kTrailerSize;
        }
    }
    return std::nullopt;
}

// True when an end told at e is one the record may have: the end of the file, or bytes that begin
// a record, a frame that reads clean or a header of a record type and a length other than 0,
// however damaged. A told end followed by anything else is a coincidence of the data (small
// numbers and zeros).
bool is_credible_end(DamagedFile& file, const FrameRules& rules, std::uint32_t e) {
    const std::uint32_t eof = rules.physical_eof;
    if (e == eof || is_clean_record(file, rules, e)) {
        return true;
    }
    if (eof - e < kRecordHeaderSize) {
        return false;
    }
    const std::uint8_t* header = file.view(e, kRecordHeaderSize).data();
    return record_type(header) <= kHighestKnownType && record_length(header) != 0;
}

// The first end from the one told by the trailer at from up to the one at last that is credible.
std::optional<std::uint32_t> first_credible_end(DamagedFile& file, const FrameRules& rules,
                                                std::uint32_t p, std::uint32_t from,
                                                std::uint32_t last) {
    for (auto e = first_told_end(file, p, from, last); e;
         e = first_told_end(file, p, *e - kTrailerSize + 1, last)) {
        if (is_credible_end(file, rules, *e)) {
            return e;
        }
    }
    return std::nullopt;
}

// The record at p taken to end at end, which the trailer before it has told: every byte of it
// readable, its length allowed for its type, its trailer no earlier record's.
std::optional<Repair> taken_to(DamagedFile& file, const FrameRules& rules, std::uint32_t p,
                               bool fixed, std::uint32_t end, const DamagedHeaders& earlier) {
    const std::uint32_t length = end - p - kFramingSize;
    file.view(p, end - p);
    if (!file.readable(p, end - p) || (fixed && length != rules.record_length) ||
        earlier.owns(file, rules, p, end - kTrailerSize, length)) {
        return std::nullopt;
    }
    return Repair{length, false};
}

// The trailer alone wrong: the length and the chain at the end it gives agree. The trailer, which
// is 0 in a lost sector, is neither an earlier record's nor one of a frame inside that ends where
// the record does, and no trailer before it tells a credible earlier end: a record whose length
// is what is wrong ends there, and taken whole would swallow what follows it.
std::optional<Repair> trailer_rule(DamagedFile& file, const FrameRules& rules, std::uint32_t p,
                                   std::uint32_t length, bool fixed,
                                   const DamagedHeaders& earlier) {
    const std::uint32_t end = p + framed_size(length);
    if (!is_chain_at(file, rules, end)) {
        return std::nullopt;
    }
    const auto record = file.view(p, end - p);
    const std::uint32_t trailer = record_trailer(record.data(), length);
    if (!file.readable(p, end - p) || trailer == 0 ||
        earlier.owns(file, rules, p, end - kTrailerSize, trailer) ||
        (trailer < length && is_clean_record(file, rules, end - framed_size(trailer))) ||
        (!fixed &&
         first_credible_end(file, rules, p, p + kRecordHeaderSize + 1, end - kTrailerSize - 1))) {
        return std::nullopt;
    }
    return Repair{length, true};
}

// The length alone wrong: the first trailer after the header that tells a credible end, within
// the longest record, where a chain starts or the file ends. Chains inside its data
// (record-shaped bytes) are passed over, a few at most; a fixed-length record ends where its
// length puts it.
std::optional<Repair> length_rule(DamagedFile& file, const FrameRules& rules, std::uint32_t p,
                                  bool fixed, const DamagedHeaders& earlier) {
    const std::uint32_t eof = rules.physical_eof;
    const std::uint64_t farthest = std::uint64_t{p} + kLongestFrame;
    if (fixed) {
        if (rules.record_length > farthest - p - kFramingSize) {
            return std::nullopt;  // no record is that long
        }
        const std::uint32_t end = p + framed_size(rules.record_length);
        if (end > eof || !first_told_end(file, p, end - kTrailerSize, end - kTrailerSize) ||
            !is_chain_at(file, rules, end)) {
            return std::nullopt;
        }
        return taken_to(file, rules, p, fixed, end, earlier);
    }
    const auto stop = static_cast<std::uint32_t>(std::min<std::uint64_t>(farthest + 1, eof));
    std::uint32_t search = p + 1;                         // where the next chain is looked for
    std::uint32_t told_from = p + kRecordHeaderSize + 1;  // the next trailer to read
    for (int chains = 0; chains < kPatience; ++chains) {
        const ChainFound found = find_chain(file, rules, search, stop, kPatience);
        if (found.kind == ChainFound::Kind::gave_up ||
            (found.kind == ChainFound::Kind::none && eof > farthest)) {
            return std::nullopt;
        }
        const std::uint32_t end = found.kind == ChainFound::Kind::chain ? found.at : eof;
        if (end >= told_from + kTrailerSize) {
            if (const auto told =
                    first_credible_end(file, rules, p, told_from, end - kTrailerSize)) {
                return *told == end ? taken_to(file, rules, p, fixed, end, earlier) : std::nullopt;
            }
            told_from = end - kTrailerSize + 1;
        }
        if (found.kind == ChainFound::Kind::none) {
            return std::nullopt;
        }
        search = found.at + 1;
    }
    return std::nullopt;
}

// True when no 4 bytes from the end of h_p's header up to t read length.
bool first_repeat(DamagedFile& file, std::uint32_t h_p, std::uint32_t length, std::uint32_t t) {
    const std::uint32_t from = h_p + kRecordHeaderSize;
    if (t < from) {
        return false;
    }
    const auto bytes = file.view(from, t - from + kTrailerSize);  // t + 4 <= physical_eof
    for (std::uint32_t i = 0; i < t - from; ++i) {
        if (get_le32(bytes.data() + i) == length) {
            return false;
        }
    }
    return true;
}

}  // namespace

void DamagedHeaders::note(std::uint32_t p, std::uint32_t length) {
    headers_[next_] = {p, length};
    next_ = (next_ + 1) % kKept;
    count_ = std::min(count_ + 1, kKept);
}

bool DamagedHeaders::owns(DamagedFile& file, const FrameRules& rules, std::uint32_t q,
                          std::uint32_t t, std::uint32_t value) const {
    for (std::size_t i = 0; i < count_; ++i) {
        const Header& h = headers_[i];
        if (h.p >= q || t - h.p >= kLongestFrame) {
            continue;
        }
        if (std::uint64_t{t} + kTrailerSize - h.p == std::uint64_t{value} + kFramingSize) {
            return true;  // the trailer ends the record at h.p: its own, its length damaged
        }
        const bool every_trailer = rules.fixed_length && h.length == rules.record_length;
        if (value == h.length && !every_trailer && first_repeat(file, h.p, h.length, t)) {
            return true;  // its own, both its fields damaged alike
        }
    }
    return false;
}

std::optional<Repair> find_repair(DamagedFile& file, const FrameRules& rules, FrameFault fault,
                                  std::uint32_t p, const DamagedHeaders& earlier) {
    const std::uint8_t* header = file.view(p, kRecordHeaderSize).data();
    const std::uint8_t type = record_type(header);
    const std::uint32_t length = record_length(header);
    if (type > kHighestKnownType || length == 0 || !file.readable(p, kRecordHeaderSize)) {
        return std::nullopt;
    }
    // An active or deleted record of a fixed-length file can have no length but the file's.
    const bool fixed = rules.fixed_length && type <= kDeletedRecord;
    if (fault == FrameFault::trailer_mismatch) {
        if (auto repair = trailer_rule(file, rules, p, length, fixed, earlier)) {
            return repair;
        }
    }
    return length_rule(file, rules, p, fixed, earlier);
}

}  // namespace datmend
