// Windowed reads of the damaged file, sector by sector where the disk fails. A healthy file
// costs one read per window; only a read that fails is taken again in sectors, each read once.
#include "salvage/damaged_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>

namespace datmend {

namespace {

std::uint32_t sector_start(std::uint32_t offset) {
    return offset - offset % DamagedFile::kSectorSize;
}

}  // namespace

DamagedFile::DamagedFile() : read_(::pread) {}

bool DamagedFile::open(const char* name) {
    fd_ = ::open(name, O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
        return false;
    }
    window_ = std::make_unique_for_overwrite<std::uint8_t[]>(kWindowSize);
    start_ = 0;
    length_ = 0;
    held_ = kNothingHeld;
    unreadable_.clear();
    return true;
}

bool DamagedFile::measure(std::uint64_t& size) {
    const off_t end = lseek(fd_, 0, SEEK_END);
    if (end < 0) {
        return false;
    }
    size = static_cast<std::uint64_t>(end);
    size_ = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(size, std::numeric_limits<std::uint32_t>::max()));
    length_ = 0;
    return true;
}

void DamagedFile::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    window_.reset();
    length_ = 0;
}

// Moves the window to the sector that holds offset (or the held offset, where the n bytes still
// fit), keeping what it already holds from there on, and fills the rest of it from the file.
std::span<const std::uint8_t> DamagedFile::load(std::uint32_t offset, std::size_t n) {
    if (fd_ < 0 || offset >= size_) {
        return {};
    }
    std::uint32_t start = sector_start(offset);
    if (held_ != kNothingHeld) {
        const std::uint32_t from = sector_start(held_);
        if (from <= offset && std::uint64_t{offset} + n <= std::uint64_t{from} + kWindowSize) {
            start = from;
        } else {
            held_ = kNothingHeld;  // too far to keep: from now on the window only moves on
        }
    }
    std::size_t kept = 0;
    if (start >= start_ && start < std::uint64_t{start_} + length_) {
        kept = length_ - (start - start_);
        std::memmove(window_.get(), window_.get() + (start - start_), kept);
    }
    start_ = start;
    const auto end = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(std::uint64_t{start} + kWindowSize, size_));
    length_ = end - start;
    fill(static_cast<std::uint32_t>(start + kept), end);
    const std::size_t available = length_ - (offset - start);
    return {at(offset), std::min(n, available)};
}

// Fills the window from first to end: known unreadable stretches with zeros, the rest from the
// file, so that no unreadable sector is read twice.
void DamagedFile::fill(std::uint32_t first, std::uint32_t end) {
    while (first < end) {
        const Stretch bad = next_unreadable(first);
        if (bad.first <= first) {
            const std::uint32_t stop = std::min(bad.end, end);
            std::memset(at(first), 0, stop - first);
            first = stop;
        } else {
            const std::uint32_t stop = std::min(bad.first, end);
            read_range(first, stop);
            first = stop;
        }
    }
}

// Reads first to end with as few calls as the system allows; after a failed call, the rest of
// the range is read sector by sector.
void DamagedFile::read_range(std::uint32_t first, std::uint32_t end) {
    while (first < end) {
        const ssize_t got = read_(fd_, at(first), end - first, static_cast<off_t>(first));
        if (got > 0) {
            first += static_cast<std::uint32_t>(got);
        } else if (got == 0) {
            record_unreadable(first, size_);  // the file has shrunk
            return;
        } else if (errno != EINTR) {
            read_sectors(first, end);
            return;
        }
    }
}

// Reads first to end one sector at a time; each sector whose read fails is unreadable. A failed
// range inside one sector has been read as that sector already, and is not read again.
void DamagedFile::read_sectors(std::uint32_t first, std::uint32_t end) {
    if (sector_start(first) == sector_start(end - 1)) {
        record_unreadable_sector(first);
        return;
    }
    while (first < end) {
        const std::uint32_t sector = sector_start(first);
        const std::uint32_t stop =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(sector + kSectorSize, end));
        const ssize_t got = read_(fd_, at(first), stop - first, static_cast<off_t>(first));
        if (got > 0) {
            first += static_cast<std::uint32_t>(got);
        } else if (got == 0) {
            record_unreadable(first, size_);
            return;
        } else if (errno != EINTR) {
            record_unreadable_sector(sector);
            first = stop;
        }
    }
}

void DamagedFile::record_unreadable_sector(std::uint32_t offset) {
    const std::uint32_t sector = sector_start(offset);
    record_unreadable(
        sector, static_cast<std::uint32_t>(std::min<std::uint64_t>(sector + kSectorSize, size_)));
}

// Records first to end as unreadable and zeroes what of it the window holds.
void DamagedFile::record_unreadable(std::uint32_t first, std::uint32_t end) {
    if (first >= end) {
        return;
    }
    const std::uint32_t window_end = static_cast<std::uint32_t>(start_ + length_);
    const std::uint32_t zero_from = std::max(first, start_);
    const std::uint32_t zero_to = std::min(end, window_end);
    if (zero_from < zero_to) {
        std::memset(at(zero_from), 0, zero_to - zero_from);
    }
    // Insert, merging with the stretches it touches or overlaps.
    auto it = std::lower_bound(unreadable_.begin(), unreadable_.end(), first,
                               [](const Stretch& s, std::uint32_t v) { return s.end < v; });
    Stretch merged{first, end};
    auto last = it;
    while (last != unreadable_.end() && last->first <= end) {
        merged.first = std::min(merged.first, last->first);
        merged.end = std::max(merged.end, last->end);
        ++last;
    }
    it = unreadable_.erase(it, last);
    unreadable_.insert(it, merged);
}

DamagedFile::Stretch DamagedFile::next_unreadable(std::uint32_t offset) const {
    const auto it = std::upper_bound(unreadable_.begin(), unreadable_.end(), offset,
                                     [](std::uint32_t v, const Stretch& s) { return v < s.end; });
    return it == unreadable_.end() ? Stretch{size_, size_} : *it;
}

std::uint32_t DamagedFile::first_unreadable(std::uint32_t offset, std::uint32_t limit) const {
    return std::clamp(next_unreadable(offset).first, offset, limit);
}

std::uint32_t DamagedFile::unreadable_until(std::uint32_t offset, std::uint32_t limit) const {
    const Stretch bad = next_unreadable(offset);
    return bad.first <= offset ? std::min(bad.end, limit) : std::min(offset, limit);
}

void DamagedFile::flag_unreadable(std::uint32_t offset, std::uint32_t n,
                                  std::uint8_t* flags) const {
    std::memset(flags, 0, n);
    const std::uint64_t end = std::uint64_t{offset} + n;
    for (Stretch bad = next_unreadable(offset); bad.first < end && bad.first < bad.end;
         bad = next_unreadable(bad.end)) {
        const std::uint32_t from = std::max(bad.first, offset) - offset;
        const auto to = static_cast<std::uint32_t>(std::min<std::uint64_t>(bad.end, end) - offset);
        std::memset(flags + from, 1, to - from);
    }
}

std::uint64_t DamagedFile::unreadable_bytes() const {
    std::uint64_t total = 0;
    for (const Stretch& s : unreadable_) {
        total += s.end - s.first;
    }
    return total;
}

}  // namespace datmend
