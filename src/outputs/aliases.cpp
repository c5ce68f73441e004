// Block devices are followed through /sys/dev/block: a partition to its disk, and a loop device
// to the file behind it (loop/backing_file), which may be a block device again.
#include "outputs/aliases.hpp"

#include <linux/major.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>

namespace datmend {

namespace {

// Loop devices stacked deeper than this are not followed further.
constexpr int kDeepestStack = 8;

// The status of the file a path of /sys, or the file behind a loop device, leads to; nullopt
// when there is none.
std::optional<struct stat> stat_of(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        return std::nullopt;
    }
    return st;
}

std::string sysfs_of(dev_t dev) {
    return "/sys/dev/block/" + std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
}

// The first line of a file of /sys, without its newline; "" when there is none.
std::string sysfs_line(const std::string& path) {
    char line[4096] = {};
    std::FILE* f = std::fopen(path.c_str(), "re");
    if (f == nullptr) {
        return "";
    }
    const bool read = std::fgets(line, sizeof line, f) != nullptr;
    std::fclose(f);
    std::string s = read ? line : "";
    if (!s.empty() && s.back() == '\n') {
        s.pop_back();
    }
    return s;
}

// The disk that the block device dev is a partition of, or dev itself.
dev_t whole_disk(dev_t dev) {
    const std::string sysfs = sysfs_of(dev);
    unsigned disk_major = 0;
    unsigned disk_minor = 0;
    // The partition's folder lies inside its disk's, which names the disk's number.
    if (stat_of(sysfs + "/partition") && std::sscanf(sysfs_line(sysfs + "/../dev").c_str(), "%u:%u",
                                                     &disk_major, &disk_minor) == 2) {
        return makedev(disk_major, disk_minor);
    }
    return dev;
}

// One block device, or a disk and one of its partitions: writing either writes into the other.
bool related_devices(dev_t a, dev_t b) {
    return a == b || whole_disk(a) == b || whole_disk(b) == a;
}

// The file behind the loop device that dev is or is a partition of, if it is one and is bound.
std::optional<struct stat> loop_backing(dev_t dev) {
    const dev_t disk = whole_disk(dev);
    if (major(disk) != LOOP_MAJOR) {
        return std::nullopt;
    }
    const std::string backing = sysfs_line(sysfs_of(disk) + "/loop/backing_file");
    return backing.empty() ? std::nullopt : stat_of(backing);
}

void add_inode(Footprint& f, const struct stat& st) {
    f.inodes.emplace_back(st.st_dev, st.st_ino);
}

// The block device dev, and, for a loop device, what is behind it: the file, or the device,
// that writing into it reaches, and where stands is set, the device that file lies on in turn,
// on which the loop device stands too.
void add_device(Footprint& f, dev_t dev, bool stands, int depth) {
    f.devices.push_back(dev);
    const auto backing = loop_backing(dev);
    if (!backing || depth == kDeepestStack) {
        return;
    }
    if (S_ISBLK(backing->st_mode)) {
        add_device(f, backing->st_rdev, stands, depth + 1);
        return;
    }
    add_inode(f, *backing);
    if (stands) {
        add_device(f, backing->st_dev, stands, depth + 1);
    }
}

}  // namespace

Footprint stands_on(const struct stat& st) {
    Footprint f;
    if (S_ISBLK(st.st_mode)) {
        add_device(f, st.st_rdev, true, 0);
    } else {
        add_inode(f, st);
        add_device(f, st.st_dev, true, 0);
    }
    return f;
}

Footprint reaches(const struct stat& st) {
    Footprint f;
    if (S_ISBLK(st.st_mode)) {
        add_device(f, st.st_rdev, false, 0);
    } else if (!S_ISCHR(st.st_mode)) {
        add_inode(f, st);
    }
    return f;
}

bool overlaps(const Footprint& reach, const Footprint& stand) {
    for (const auto& inode : reach.inodes) {
        if (std::find(stand.inodes.begin(), stand.inodes.end(), inode) != stand.inodes.end()) {
            return true;
        }
    }
    for (const dev_t a : reach.devices) {
        for (const dev_t b : stand.devices) {
            if (related_devices(a, b)) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace datmend
