// faultyfs: a read-only FUSE filesystem that shows the files of one folder and fails every read
// that reaches one of the given byte ranges with EIO, as a disk with unreadable sectors does.
//   faultyfs SOURCE_DIR RANGES MOUNTPOINT [DELAY_MS [READ_LOG]]
//   RANGES: first-last[,first-last...] or -
// A failing read takes DELAY_MS milliseconds first, as a drive takes its time to give up. With
// READ_LOG, every read asked for is appended to that file as "offset size".
// It mounts with direct I/O, so that the kernel passes reads through as they are asked for
// rather than widening them to pages, and runs in the background until unmounted.
#define FUSE_USE_VERSION 31
#include <fcntl.h>
#include <fuse.h>
#include <unistd.h>

#include <dirent.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Range {
    std::uint64_t first;
    std::uint64_t last;
};

std::string source;
std::vector<Range> bad;
unsigned delay_ms = 0;
int read_log = -1;

std::string real(const char* path) {
    return source + path;
}

int fs_getattr(const char* path, struct stat* st, fuse_file_info*) {
    return lstat(real(path).c_str(), st) == 0 ? 0 : -errno;
}

int fs_readdir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info*,
               fuse_readdir_flags) {
    DIR* dir = opendir(real(path).c_str());
    if (dir == nullptr) {
        return -errno;
    }
    while (dirent* e = readdir(dir)) {
        fill(buf, e->d_name, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    }
    closedir(dir);
    return 0;
}

int fs_open(const char* path, fuse_file_info* fi) {
    if ((fi->flags & O_ACCMODE) != O_RDONLY) {
        return -EROFS;
    }
    const int fd = open(real(path).c_str(), O_RDONLY);
    if (fd < 0) {
        return -errno;
    }
    fi->fh = static_cast<std::uint64_t>(fd);
    fi->direct_io = 1;
    return 0;
}

int fs_read(const char*, char* buf, size_t n, off_t offset, fuse_file_info* fi) {
    const auto first = static_cast<std::uint64_t>(offset);
    if (read_log >= 0) {
        dprintf(read_log, "%llu %zu\n", static_cast<unsigned long long>(first), n);
    }
    for (const Range& r : bad) {
        if (n > 0 && first <= r.last && r.first < first + n) {
            usleep(delay_ms * 1000);
            return -EIO;
        }
    }
    const ssize_t got = pread(static_cast<int>(fi->fh), buf, n, offset);
    return got < 0 ? -errno : static_cast<int>(got);
}

int fs_release(const char*, fuse_file_info* fi) {
    close(static_cast<int>(fi->fh));
    return 0;
}

void* fs_init(fuse_conn_info*, fuse_config* cfg) {
    cfg->direct_io = 1;
    cfg->kernel_cache = 0;
    return nullptr;
}

bool parse_ranges(const char* text) {
    if (std::strcmp(text, "-") == 0) {
        return true;
    }
    for (const char* p = text; *p != '\0';) {
        char* end = nullptr;
        Range r{std::strtoull(p, &end, 10), 0};
        if (*end != '-') {
            return false;
        }
        r.last = std::strtoull(end + 1, &end, 10);
        bad.push_back(r);
        if (*end == ',') {
            ++end;
        } else if (*end != '\0') {
            return false;
        }
        p = end;
    }
    return true;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 4 || argc > 6 || !parse_ranges(argv[2])) {
        std::fputs("usage: faultyfs SOURCE_DIR RANGES MOUNTPOINT [DELAY_MS [READ_LOG]]\n", stderr);
        return 1;
    }
    delay_ms = argc >= 5 ? static_cast<unsigned>(std::strtoul(argv[4], nullptr, 10)) : 0;
    if (argc == 6 && (read_log = open(argv[5], O_WRONLY | O_CREAT | O_APPEND, 0644)) < 0) {
        std::perror(argv[5]);
        return 1;
    }
    char* resolved = realpath(argv[1], nullptr);
    if (resolved == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    source = resolved;
    std::free(resolved);

    fuse_operations ops{};
    ops.getattr = fs_getattr;
    ops.readdir = fs_readdir;
    ops.open = fs_open;
    ops.read = fs_read;
    ops.release = fs_release;
    ops.init = fs_init;
    std::string ro = "-oro";
    char* args[] = {argv[0], argv[3], ro.data(), nullptr};
    return fuse_main(3, args, &ops, nullptr);
}
