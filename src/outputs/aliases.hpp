// Two names for one file, or a device that holds a file: the tests that keep every output from
// being written over the damaged file, the mapfile, standard output or another output, under
// any name, through any block device or loop device.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "outputs/target.hpp"

namespace datmend {

// The status of the file name leads to, links followed; nullopt when there is none.
std::optional<struct stat> stat_of(const std::string& name);

// Inodes and block devices: what a file stands on, or what writing into one reaches.
struct Footprint {
    std::vector<std::pair<dev_t, ino_t>> inodes;
    std::vector<dev_t> devices;  // block devices, each standing for its disk and partitions too
};

// What the file st must not have written over: its own inode and the block device of its
// filesystem, or for a block device, the device itself; and what that device stands on in turn,
// the file behind a loop device and that file's own device.
Footprint stands_on(const struct stat& st);

// What writing into st reaches: a block device, and for a loop device, what writing into the
// file behind it reaches; nothing for a character device; any other file's own inode.
Footprint reaches(const struct stat& st);

// True when writing, reaching what reach holds, would write over something of stand's: one inode,
// one block device, or a disk and one of its partitions.
bool overlaps(const Footprint& reach, const Footprint& stand);

// True when writing into a or b would write over the other (each reached through the links
// that its target follows): one inode by whatever path or link, unless a character device
// (/dev/null may be named twice for a dry run); one block device, or a disk and one of its
// partitions; a device that the other, or the folder where the other is to be created, stands
// on; or two names not yet taken that are one entry of one folder once links are followed.
bool same_file(const std::string& a, const OutputTarget& target_a, const std::string& b,
               const OutputTarget& target_b);

}  // namespace datmend
