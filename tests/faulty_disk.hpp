// A failing disk for the damaged file's read seam: reads that reach a bad sector deliver what
// lies before it and then fail with EIO, and the file may have shrunk under the reader. It also
// watches the reader: once a read of a sector alone has failed, no read may reach that sector
// again. (Healthy sectors may be read again when the window comes back to them.)
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <set>

#include "salvage/damaged_file.hpp"

namespace testkit {

struct FaultyDisk {
    static constexpr std::uint32_t kSector = 512;

    std::set<std::uint32_t> bad_sectors;  // sector numbers: offset / 512
    std::set<std::uint32_t> marginal;     // read well once, then bad, as a failing disk's are
    std::optional<std::uint32_t> size;    // the size the file has shrunk to

    // What the reader did: reads in all, the sectors whose read alone failed, and whether a
    // read reached one of those again.
    int reads = 0;
    std::set<std::uint32_t> found_bad;
    bool read_again = false;

    // Forgets what the reader did, for another run on the same disk.
    void forget() {
        reads = 0;
        found_bad.clear();
        read_again = false;
    }

    bool never_read_a_bad_sector_again() const { return !read_again; }

    datmend::DamagedFile::ReadFunction reader() {
        return [this](int fd, void* buf, std::size_t n, off_t offset) -> ssize_t {
            ++reads;
            const auto first = static_cast<std::uint64_t>(offset);
            const bool one_sector = n <= kSector && first / kSector == (first + n - 1) / kSector;
            std::uint64_t end = first + n;
            if (size) {
                end = std::min<std::uint64_t>(end, *size);
            }
            for (std::uint64_t s = first / kSector; s * kSector < end; ++s) {
                const auto at = static_cast<std::uint32_t>(s);
                read_again = read_again || found_bad.count(at) != 0;
                if (bad_sectors.count(at) != 0) {
                    end = std::max<std::uint64_t>(first, s * kSector);
                    if (end == first) {
                        if (one_sector) {
                            found_bad.insert(at);
                        }
                        errno = EIO;
                        return -1;
                    }
                    break;
                }
            }
            if (end <= first) {
                return 0;
            }
            for (std::uint64_t s = first / kSector; s * kSector < end; ++s) {
                if (marginal.erase(static_cast<std::uint32_t>(s)) != 0) {
                    bad_sectors.insert(static_cast<std::uint32_t>(s));
                }
            }
            return ::pread(fd, buf, static_cast<std::size_t>(end - first), offset);
        };
    }
};

}  // namespace testkit
