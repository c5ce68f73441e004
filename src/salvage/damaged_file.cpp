// Windowed reads of the damaged file, sector by sector where the disk fails. A healthy file
// costs one read per window; only a read that fails is taken again in sectors, each read once.
#include "salvage/damaged_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
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
    return adopt(::open(name, O_RDONLY | O_CLOEXEC));
}

bool DamagedFile::adopt(int fd) {
    close();
    fd_ = fd;
    if (fd_ < 0) {
        return false;
    }
    window_ = std::make_unique_for_overwrite<std::uint8_t[]>(kWindowSize);
    start_ = 0;
    length_ = 0;
    held_ = kNothingHeld;
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

void DamagedFile::extend(std::uint32_t size) {
    if (size <= size_) {
        return;
    }
    const std::uint32_t measured = size_;
    size_ = size;
    mark_unreadable_sectors(measured, size);
}

// Grows the bitmap to a bit for every sector below size_; one growth for a file that is not
// extended, and amortised by the vector's doubling while a map extends it block by block.
void DamagedFile::cover_sectors() {
    const std::size_t words = (std::size_t{size_} + kSectorSize - 1) / kSectorSize / 64 + 1;
    if (bad_sectors_.size() < words) {
        bad_sectors_.resize(words);
    }
}

void DamagedFile::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    window_.reset();
    length_ = 0;
}

// Moves the window to the sector that holds offset (or the held offset's, where the n bytes
// fit from there), keeping what it already holds from there on, and fills the rest of it from
// the file.
std::span<const std::uint8_t> DamagedFile::load(std::uint32_t offset, std::size_t n) {
    if (fd_ < 0 || offset >= size_) {
        return {};
    }
    cover_sectors();
    std::uint32_t start = sector_start(offset);
    if (held_ != kNothingHeld) {
        const std::uint32_t from = sector_start(held_);
        if (from <= offset && std::uint64_t{offset} + n <= std::uint64_t{from} + kWindowSize) {
            start = from;
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
    ++windows_read_;
    const std::size_t available = length_ - (offset - start);
    return {at(offset), std::min(n, available)};
}

// Fills the window from first to end: known unreadable stretches with zeros, the rest from the
// file, so that no unreadable sector is read twice.
void DamagedFile::fill(std::uint32_t first, std::uint32_t end) {
    while (first < end) {
        const std::uint32_t bad = readable_until(first, end);
        if (bad > first) {
            read_range(first, bad);
            first = bad;
        } else {
            const std::uint32_t good = unreadable_until(first, end);
            std::memset(at(first), 0, good - first);
            first = good;
        }
    }
}

// Reads from first towards end with as few calls as the system allows, again after an
// interruption; first moves past what was read. A read that finds the end of the file records
// that the file has shrunk.
DamagedFile::ReadEnd DamagedFile::read_through(std::uint32_t& first, std::uint32_t end) {
    while (first < end) {
        const ssize_t got = read_(fd_, at(first), end - first, static_cast<off_t>(first));
        if (got > 0) {
            first += static_cast<std::uint32_t>(got);
        } else if (got == 0) {
            record_shrink(first);
            return ReadEnd::shrunk;
        } else if (errno != EINTR) {
            return ReadEnd::failed;
        }
    }
    return ReadEnd::done;
}

// Reads first to end; after a failed call, the rest of the range is read sector by sector.
void DamagedFile::read_range(std::uint32_t first, std::uint32_t end) {
    if (read_through(first, end) == ReadEnd::failed) {
        read_sectors(first, end);
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
        const std::uint32_t stop = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(sector_start(first) + kSectorSize, end));
        const ReadEnd read = read_through(first, stop);
        if (read == ReadEnd::shrunk) {
            return;
        }
        if (read == ReadEnd::failed) {
            record_unreadable_sector(first);
            first = stop;
        }
    }
}

void DamagedFile::mark_unreadable_sectors(std::uint32_t first, std::uint32_t end) {
    cover_sectors();
    for (std::uint32_t sector = sector_start(first); sector < end && sector < size_;
         sector += kSectorSize) {
        record_unreadable_sector(sector);
    }
}

void DamagedFile::record_unreadable_sector(std::uint32_t offset) {
    const std::uint32_t sector = offset / kSectorSize;
    std::uint64_t& word = bad_sectors_[sector / 64];
    const std::uint64_t bit = std::uint64_t{1} << (sector % 64);
    if ((word & bit) != 0) {
        return;
    }
    word |= bit;
    any_unreadable_ = true;
    const std::uint32_t first = sector * kSectorSize;
    const std::uint32_t end = std::min(first + kSectorSize, readable_end());
    if (first < end) {
        zero_held(first, end);
    }
}

void DamagedFile::record_shrink(std::uint32_t first) {
    const std::uint32_t end = readable_end();
    if (first >= end) {
        return;
    }
    zero_held(first, end);
    shrunk_to_ = first;
    any_unreadable_ = true;
}

// Zeroes what of first to end the window holds: unreadable bytes show as zeros.
void DamagedFile::zero_held(std::uint32_t first, std::uint32_t end) {
    const auto window_end = static_cast<std::uint32_t>(start_ + length_);
    const std::uint32_t from = std::max(first, start_);
    const std::uint32_t to = std::min(end, window_end);
    if (from < to) {
        std::memset(at(from), 0, to - from);
    }
}

// The first sector from first up to end (exclusive) that is bad, or good when bad is false; end
// when there is none. A word of the bitmap at a time.
std::uint32_t DamagedFile::find_sector(std::uint32_t first, std::uint32_t end, bool bad) const {
    for (std::uint32_t sector = first; sector < end;) {
        std::uint64_t word = sector / 64 < bad_sectors_.size() ? bad_sectors_[sector / 64] : 0;
        if (!bad) {
            word = ~word;
        }
        word >>= sector % 64;
        if (word != 0) {
            return std::min(sector + static_cast<std::uint32_t>(std::countr_zero(word)), end);
        }
        sector = (sector / 64 + 1) * 64;
    }
    return end;
}

std::uint32_t DamagedFile::first_unreadable(std::uint32_t offset, std::uint32_t limit) const {
    const std::uint32_t end = std::min(limit, readable_end());
    if (offset >= end) {
        return std::min(offset, limit);
    }
    const std::uint32_t sector =
        find_sector(offset / kSectorSize, (end - 1) / kSectorSize + 1, true);
    return std::clamp(sector * kSectorSize, offset, end);
}

std::uint32_t DamagedFile::unreadable_until(std::uint32_t offset, std::uint32_t limit) const {
    const std::uint32_t end = std::min(limit, readable_end());
    if (offset >= end) {
        return limit;  // nothing readable is left before limit
    }
    const std::uint32_t sector =
        find_sector(offset / kSectorSize, (end - 1) / kSectorSize + 1, false);
    const std::uint32_t good = std::max(sector * kSectorSize, offset);
    return good < end ? good : limit;
}

std::uint32_t DamagedFile::count_unreadable(std::uint32_t first, std::uint32_t end) const {
    std::uint32_t n = 0;
    for (std::uint32_t from = first; (from = readable_until(from, end)) < end;) {
        const std::uint32_t good = unreadable_until(from, end);
        n += good - from;
        from = good;
    }
    return n;
}

void DamagedFile::flag_unreadable(std::uint32_t offset, std::uint32_t n,
                                  std::uint8_t* flags) const {
    std::memset(flags, 0, n);
    const std::uint32_t end = offset + n;
    for (std::uint32_t from = offset; (from = readable_until(from, end)) < end;) {
        const std::uint32_t good = unreadable_until(from, end);
        std::memset(flags + (from - offset), 1, good - from);
        from = good;
    }
}

}  // namespace datmend
