// Block devices are compared by device number, through the partitions the kernel lists under
// /sys/dev/block, and a loop device by the file behind it, as the kernel reports it.
#include "driver/aliases.hpp"

#include <fcntl.h>
#include <linux/loop.h>
#include <linux/major.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <optional>

namespace datmend {

namespace {

std::optional<struct stat> stat_of(const std::string& name) {
    struct stat st;
    if (stat(name.c_str(), &st) != 0) {
        return std::nullopt;
    }
    return st;
}

bool same_inode(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The disk that the block device dev is a partition of, or dev itself.
dev_t whole_disk(dev_t dev) {
    const std::string sysfs =
        "/sys/dev/block/" + std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
    if (access((sysfs + "/partition").c_str(), F_OK) != 0) {
        return dev;
    }
    // The partition's folder lies inside its disk's, which names the disk's number.
    unsigned disk_major = 0;
    unsigned disk_minor = 0;
    std::FILE* f = std::fopen((sysfs + "/../dev").c_str(), "re");
    const bool read = f != nullptr && std::fscanf(f, "%u:%u", &disk_major, &disk_minor) == 2;
    if (f != nullptr) {
        std::fclose(f);
    }
    return read ? makedev(disk_major, disk_minor) : dev;
}

// One block device, or a disk and one of its partitions: writing either writes into the other.
bool related_devices(dev_t a, dev_t b) {
    return a == b || whole_disk(a) == b || whole_disk(b) == a;
}

bool is_loop_backed_by(const std::string& name, const struct stat& device, const struct stat& old) {
    if (major(whole_disk(device.st_rdev)) != LOOP_MAJOR) {
        return false;
    }
    const int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    loop_info64 info{};
    const bool bound = ioctl(fd, LOOP_GET_STATUS64, &info) == 0;
    close(fd);
    return bound && info.lo_device == old.st_dev && info.lo_inode == old.st_ino;
}

}  // namespace

bool same_object(const struct stat& a, const struct stat& b) {
    if (S_ISBLK(a.st_mode) && S_ISBLK(b.st_mode)) {
        return related_devices(a.st_rdev, b.st_rdev);
    }
    return same_inode(a, b) && !S_ISCHR(a.st_mode);
}

bool same_file(const std::string& a, const OutputTarget& target_a, const std::string& b,
               const OutputTarget& target_b) {
    const auto sa = stat_of(a);
    const auto sb = stat_of(b);
    if (sa && sb) {
        return same_object(*sa, *sb);
    }
    const auto folder_a = stat_of(target_a.folder);
    const auto folder_b = stat_of(target_b.folder);
    return !target_a.entry.empty() && target_a.entry == target_b.entry && folder_a && folder_b &&
           same_inode(*folder_a, *folder_b);
}

bool holds_file(const std::string& name, const struct stat& device, const struct stat& old) {
    return S_ISBLK(device.st_mode) && !S_ISBLK(old.st_mode) &&
           (related_devices(device.st_rdev, old.st_dev) || is_loop_backed_by(name, device, old));
}

}  // namespace datmend
