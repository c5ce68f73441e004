// A failing disk for the damaged file's read seam: reads that reach a bad sector deliver what
// lies before it and then fail with EIO, and the file may have shrunk under the reader.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <map>
#include <optional>
#include <set>

#include "salvage/damaged_file.hpp"

namespace testkit {

struct FaultyDisk {
    static constexpr std::uint32_t kSector = 512;

    std::set<std::uint32_t> bad_sectors;  // sector numbers: offset / 512
    std::optional<std::uint32_t> size;    // the size the file has shrunk to

    // What the reader did: reads in all, reads that stayed inside one sector, by sector, and
    // whether a read reached a sector after a read of that sector alone had failed.
    int reads = 0;
    std::map<std::uint32_t, int> reads_of_sector;
    std::set<std::uint32_t> found_bad;
    bool read_again = false;

    // Forgets what the reader did, for another run on the same disk.
    void forget() {
        reads = 0;
        reads_of_sector.clear();
        found_bad.clear();
        read_again = false;
    }

    // True when no sector was read alone twice, nor any read reached a sector found bad.
    bool read_each_sector_once() const {
        for (const auto& [sector, count] : reads_of_sector) {
            if (count > 1) {
                return false;
            }
        }
        return !read_again;
    }

    datmend::DamagedFile::ReadFunction reader() {
        return [this](int fd, void* buf, std::size_t n, off_t offset) -> ssize_t {
            ++reads;
            const auto first = static_cast<std::uint32_t>(offset);
            const bool one_sector = n <= kSector && first / kSector == (first + n - 1) / kSector;
            if (one_sector) {
                ++reads_of_sector[first / kSector];
            }
            std::uint64_t end = first + n;
            if (size) {
                end = std::min<std::uint64_t>(end, *size);
            }
            for (std::uint64_t s = first / kSector; s * kSector < end; ++s) {
                const auto sector = static_cast<std::uint32_t>(s);
                read_again = read_again || found_bad.count(sector) != 0;
                if (bad_sectors.count(sector) != 0) {
                    end = std::max<std::uint64_t>(first, s * kSector);
                    if (end == first) {
                        if (one_sector) {
                            found_bad.insert(sector);
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
            return ::pread(fd, buf, static_cast<std::size_t>(end - first), offset);
        };
    }
};

}  // namespace testkit
