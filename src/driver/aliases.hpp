// Two names for one file, or a device that holds a file: the tests that keep every output from
// being written over the damaged file, the mapfile, standard output or another output.
#pragma once

#include <sys/stat.h>

#include <string>

#include "writer/target.hpp"

namespace datmend {

// True when a and b (b reached through the links that target_b follows) are one file: one inode
// by whatever path or link, unless a character device (/dev/null may be named twice for a dry
// run); one block device, or a disk and one of its partitions; or, whether they exist yet or
// not, one entry of one folder once links are followed.
bool same_file(const std::string& a, const OutputTarget& target_a, const std::string& b,
               const OutputTarget& target_b);

// True when writing the block device device, named name, would write over the file old: old lies
// on the device (or on a partition of it), or the device is a loop device backed by old.
bool holds_file(const std::string& name, const struct stat& device, const struct stat& old);

// True when a and b are one object to write into: one regular file, or related block devices.
bool same_object(const struct stat& a, const struct stat& b);

}  // namespace datmend
