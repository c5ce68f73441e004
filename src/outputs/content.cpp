// Compared a chunk at a time; a chunk that either file cannot read whole is compared again a
// sector at a time, so that a bad sector leaves out no more than itself.
#include "outputs/content.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <memory>

namespace datmend {

namespace {

constexpr std::size_t kChunk = std::size_t{64} << 10;
constexpr std::size_t kSector = 512;

// Up to n bytes at offset of fd into buffer, fewer only where the file ends; -1 where a read
// fails.
ssize_t read_at(int fd, char* buffer, std::size_t n, std::uint64_t offset) {
    std::size_t got = 0;
    while (got < n) {
        const ssize_t done = pread(fd, buffer + got, n - got, static_cast<off_t>(offset + got));
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done < 0) {
            return -1;
        }
        if (done == 0) {
            break;
        }
        got += static_cast<std::size_t>(done);
    }
    return static_cast<ssize_t>(got);
}

// True when the n bytes at offset (n <= kChunk) are the same in a and b where both can be read;
// x and y hold kChunk bytes each.
bool same_range(int a, int b, std::uint64_t offset, std::size_t n, char* x, char* y) {
    const ssize_t in_a = read_at(a, x, n, offset);
    const ssize_t in_b = read_at(b, y, n, offset);
    if (in_a >= 0 && in_b >= 0) {
        return std::memcmp(x, y, static_cast<std::size_t>(std::min(in_a, in_b))) == 0;
    }
    if (n <= kSector) {
        return true;  // unreadable on one side: left out
    }
    for (std::size_t at = 0; at < n; at += kSector) {
        if (!same_range(a, b, offset + at, std::min(kSector, n - at), x, y)) {
            return false;
        }
    }
    return true;
}

bool same_stretch(int a, int b, std::uint64_t from, std::uint64_t to, char* x, char* y) {
    for (std::uint64_t at = from; at < to; at += kChunk) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, to - at));
        if (!same_range(a, b, at, n, x, y)) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool same_content(int a, int b, std::uint64_t size) {
    const auto buffer = std::make_unique_for_overwrite<char[]>(2 * kChunk);
    char* x = buffer.get();
    char* y = x + kChunk;
    const std::uint64_t head_end = std::min(size, kComparedEnd);
    const std::uint64_t tail_start = std::max(head_end, size - std::min(size, kComparedEnd));
    return same_stretch(a, b, 0, head_end, x, y) && same_stretch(a, b, tail_start, size, x, y);
}

}  // namespace datmend
