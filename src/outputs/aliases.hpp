// What a file stands on and what writing into it reaches, through any block device or loop
// device: the footprints by which the refusals tell that an output would be written over the
// damaged file, the mapfile, standard output or another output.
#pragma once

#include <sys/stat.h>

#include <utility>
#include <vector>

namespace datmend {

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
// file behind it reaches; nothing for a character device (/dev/null may be named twice for a
// dry run); any other file's own inode.
Footprint reaches(const struct stat& st);

// True when writing, reaching what reach holds, would write over something of stand's: one inode,
// one block device, or a disk and one of its partitions.
bool overlaps(const Footprint& reach, const Footprint& stand);

}  // namespace datmend
