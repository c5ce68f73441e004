// Block devices are followed through /sys/dev/block: a partition to its disk, and a loop device
// to the file behind it, which may be a block device again: by the loop driver's own numbers for
// a file, which no rename or removal of its names changes, and by its name (loop/backing_file)
// for a device.
#include "outputs/aliases.hpp"

#include <fcntl.h>
#include <linux/loop.h>
#include <linux/major.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
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

// The node of the block device dev, opened for reading, as devtmpfs names it after the kernel's
// name for it; -1 when there is none or it is another device.
int open_node(dev_t dev) {
    const std::string uevent = sysfs_of(dev) + "/uevent";
    std::FILE* f = std::fopen(uevent.c_str(), "re");
    char line[256];
    std::string name;
    while (f != nullptr && std::fgets(line, sizeof line, f) != nullptr) {
        if (std::strncmp(line, "DEVNAME=", 8) == 0) {
            name = std::string(line + 8, std::strcspn(line + 8, "\n"));
        }
    }
    if (f != nullptr) {
        std::fclose(f);
    }
    const int fd =
        name.empty() ? -1 : ::open(("/dev/" + name).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode) || st.st_rdev != dev)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The device and inode of the file behind the loop device disk, as the loop driver holds them:
// they are the file's whatever its names have become since it was bound (renamed, removed but
// for a hard link, a layer of an overlay). Nullopt when its node cannot be opened.
std::optional<std::pair<dev_t, ino_t>> loop_file(dev_t disk) {
    const int fd = open_node(disk);
    if (fd < 0) {
        return std::nullopt;
    }
    loop_info64 info{};
    const bool bound = ioctl(fd, LOOP_GET_STATUS64, &info) == 0;
    ::close(fd);
    if (!bound) {
        return std::nullopt;
    }
    return std::pair{static_cast<dev_t>(info.lo_device), static_cast<ino_t>(info.lo_inode)};
}

void add_inode(Footprint& f, dev_t dev, ino_t ino) {
    f.inodes.emplace_back(dev, ino);
}

// The block device dev, and, for a loop device, what is behind it: the file, or the device,
// that writing into it reaches, and where stands is set, the device that file lies on in turn,
// on which the loop device stands too. A device behind it is found by the name the driver
// gives; a file, by the driver's own numbers for it, or else by that name.
void add_device(Footprint& f, dev_t dev, bool stands, int depth) {
    f.devices.push_back(dev);
    const dev_t disk = whole_disk(dev);
    if (major(disk) != LOOP_MAJOR || depth == kDeepestStack) {
        return;
    }
    const std::string backing = sysfs_line(sysfs_of(disk) + "/loop/backing_file");
    const auto named = backing.empty() ? std::nullopt : stat_of(backing);
    if (named && S_ISBLK(named->st_mode)) {
        add_device(f, named->st_rdev, stands, depth + 1);
        return;
    }
    const auto file = loop_file(disk);
    if (!file && !named) {
        return;
    }
    const dev_t on = file ? file->first : named->st_dev;
    add_inode(f, on, file ? file->second : named->st_ino);
    if (stands) {
        add_device(f, on, stands, depth + 1);
    }
}

}  // namespace

Footprint stands_on(const struct stat& st) {
    Footprint f;
    if (S_ISBLK(st.st_mode)) {
        add_device(f, st.st_rdev, true, 0);
    } else {
        add_inode(f, st.st_dev, st.st_ino);
        add_device(f, st.st_dev, true, 0);
    }
    return f;
}

Footprint reaches(const struct stat& st) {
    Footprint f;
    if (S_ISBLK(st.st_mode)) {
        add_device(f, st.st_rdev, false, 0);
    } else if (!S_ISCHR(st.st_mode)) {
        add_inode(f, st.st_dev, st.st_ino);
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
