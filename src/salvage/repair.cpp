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

// The data length that the trailer just before end gives a record at p of type, where that
// trailer plus the framing is the distance from p, is allowed for the type, and every byte from
// p to end is readable; nullopt otherwise.
std::optional<std::uint32_t> length_told_before(DamagedFile& file, const FrameRules& rules,
                                                std::uint32_t p, std::uint8_t type,
                                                std::uint32_t end) {
    if (end - p < kShortestFrame) {
        return std::nullopt;
    }
    const auto record = file.view(p, end - p);
    if (!file.readable(p, end - p)) {
        return std::nullopt;
    }
    const std::uint32_t taken = decode_trailer(record.data() + (end - p) - kTrailerSize);
    const bool allowed =
        !rules.fixed_length || type > kDeletedRecord || taken == rules.record_length;
    if (end - p != std::uint64_t{taken} + kFramingSize || !allowed) {
        return std::nullopt;
    }
    return taken;
}

// The trailer alone wrong: the length and the chain at the end it gives agree, no chain starts
// inside, and the trailer, which is 0 in a lost sector, is no earlier record's.
std::optional<Repair> trailer_rule(DamagedFile& file, const FrameRules& rules, std::uint32_t p,
                                   std::uint32_t length, const DamagedHeaders& earlier) {
    const std::uint32_t end = p + framed_size(length);
    if (!is_chain_at(file, rules, end)) {
        return std::nullopt;
    }
    const auto record = file.view(p, end - p);
    const std::uint32_t trailer = record_trailer(record.data(), length);
    if (!file.readable(p, end - p) || trailer == 0 ||
        earlier.owns(file, rules, p, end - kTrailerSize, trailer) ||
        find_chain(file, rules, p + 1, end, kPatience).kind != ChainFound::Kind::none) {
        return std::nullopt;
    }
    return Repair{length, true};
}

// The length alone wrong: the first chain after p, or the end of the file where no chain comes
// first, lies just past a trailer that gives the distance, within the longest record, and that
// trailer is no earlier record's.
std::optional<Repair> length_rule(DamagedFile& file, const FrameRules& rules, std::uint32_t p,
                                  std::uint8_t type, const DamagedHeaders& earlier) {
    const std::uint32_t eof = rules.physical_eof;
    const std::uint64_t farthest = std::uint64_t{p} + kLongestFrame;
    const auto stop = static_cast<std::uint32_t>(std::min<std::uint64_t>(farthest + 1, eof));
    const ChainFound found = find_chain(file, rules, p + 1, stop, kPatience);
    std::uint32_t end = found.at;
    if (found.kind == ChainFound::Kind::gave_up ||
        (found.kind == ChainFound::Kind::none && eof > farthest)) {
        return std::nullopt;
    }
    if (found.kind == ChainFound::Kind::none) {
        end = eof;
    }
    const auto taken = length_told_before(file, rules, p, type, end);
    if (!taken || earlier.owns(file, rules, p, end - kTrailerSize, *taken)) {
        return std::nullopt;
    }
    return Repair{*taken, false};
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
    if (fault == FrameFault::trailer_mismatch) {
        if (auto repair = trailer_rule(file, rules, p, length, earlier)) {
            return repair;
        }
    }
    return length_rule(file, rules, p, type, earlier);
}

}  // namespace datmend
