// Links are followed by hand, a component at a time, through descriptors: each component is
// opened with O_PATH and O_NOFOLLOW in the folder before it, and a link is read through its own
// descriptor, so that every component is looked up once. The tool must know the entry a link
// leads to before it exists, to create its temporary file beside it, and it renames over the file
// rather than opening it, so the kernel's own protections for shared folders would not apply.
#include "outputs/target.hpp"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <deque>
#include <utility>

namespace datmend {

namespace {

constexpr int kMostLinks = 40;

std::deque<std::string> components_of(const std::string& path) {
    std::deque<std::string> parts;
    for (std::size_t at = 0; at < path.size();) {
        const std::size_t slash = std::min(path.find('/', at), path.size());
        if (slash > at && path.compare(at, slash - at, ".") != 0) {
            parts.push_back(path.substr(at, slash - at));
        }
        at = slash + 1;
    }
    return parts;
}

// True when folder is sticky and anyone may write to it, and owner is neither the caller nor the
// folder's owner: the kernel's rule for what may be followed or written there.
bool is_planted(uid_t owner, const struct stat& folder) {
    const bool shared = (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0;
    return shared && owner != geteuid() && owner != folder.st_uid;
}

bool on_proc(int folder) {
    struct statfs fs;
    return fstatfs(folder, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
}

void close_descriptor(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

Target refused(int errnum) {
    Target t;
    t.errnum = errnum != 0 ? errnum : EIO;
    return t;
}

// The same for the call on fd that just failed, fd closed.
Target refused_closing(int& fd) {
    const int errnum = errno;
    close_descriptor(fd);
    return refused(errnum);
}

// The walk's end: what the file, or for a name not yet taken its folder, stands on.
Target found(Target t) {
    if (t.exists()) {
        t.reaches = reaches(t.st);
        t.stands = stands_on(t.st);
    } else {
        t.stands = stands_on(t.folder_st);
    }
    return t;
}

// Makes the folder fd, of status st, the one the walk goes on in.
void enter(Target& t, int fd, const struct stat& st) {
    close_descriptor(t.folder);
    t.folder = fd;
    t.folder_st = st;
}

// The text of the link open as fd in text; 0 or the errno of why it cannot be read.
int read_link(int fd, std::string& text) {
    char buffer[PATH_MAX];
    const ssize_t n = readlinkat(fd, "", buffer, sizeof buffer);
    if (n <= 0 || n == static_cast<ssize_t>(sizeof buffer)) {
        return n < 0 ? errno : n == 0 ? ENOENT : ENAMETOOLONG;
    }
    text.assign(buffer, static_cast<std::size_t>(n));
    return 0;
}

}  // namespace

Target::Target(Target&& other) noexcept {
    *this = std::move(other);
}

Target& Target::operator=(Target&& other) noexcept {
    if (this != &other) {
        close_descriptor(folder);
        close_descriptor(handle);
        folder = std::exchange(other.folder, -1);
        folder_st = other.folder_st;
        entry = std::move(other.entry);
        handle = std::exchange(other.handle, -1);
        st = other.st;
        reaches = std::move(other.reaches);
        stands = std::move(other.stands);
        planted = other.planted;
        errnum = other.errnum;
    }
    return *this;
}

Target::~Target() {
    close_descriptor(folder);
    close_descriptor(handle);
}

// A name that ends in a slash, or a link's text that ends the name with one, names a folder.
Target resolve_target(const std::string& name) {
    if (name.empty()) {
        return refused(ENOENT);
    }
    Target t;
    t.folder = ::open(name[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (t.folder < 0 || fstat(t.folder, &t.folder_st) != 0) {
        return refused(errno);
    }
    std::deque<std::string> rest = components_of(name);
    bool folder_named = name.back() == '/';
    for (int links = 0; !rest.empty();) {
        const std::string part = std::move(rest.front());
        rest.pop_front();
        const bool last = rest.empty();
        int fd = openat(t.folder, part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            if (errno == ENOENT && last && !folder_named) {
                t.entry = part;  // a name not yet taken
                return found(std::move(t));
            }
            return refused(errno);
        }
        struct stat st;
        if (fstat(fd, &st) != 0) {
            return refused_closing(fd);
        }
        if (S_ISLNK(st.st_mode)) {
            std::string link;
            const int errnum = ++links > kMostLinks                 ? ELOOP
                               : is_planted(st.st_uid, t.folder_st) ? EACCES
                                                                    : read_link(fd, link);
            close_descriptor(fd);
            if (errnum != 0) {
                return refused(errnum);
            }
            if (link[0] == '/' || !on_proc(t.folder)) {
                if (link[0] == '/') {
                    int root = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
                    if (root < 0 || fstat(root, &st) != 0) {
                        return refused_closing(root);
                    }
                    enter(t, root, st);
                }
                folder_named = folder_named || (last && link.back() == '/');
                const std::deque<std::string> spliced = components_of(link);
                rest.insert(rest.begin(), spliced.begin(), spliced.end());
                continue;
            }
            // The kernel's own link, to what has no path (/proc/self, a descriptor's pipe).
            fd = openat(t.folder, part.c_str(), O_PATH | O_CLOEXEC);
            if (fd < 0 || fstat(fd, &st) != 0) {
                return refused_closing(fd);
            }
        }
        if (!last || folder_named) {
            if (!S_ISDIR(st.st_mode)) {
                close_descriptor(fd);
                return refused(ENOTDIR);
            }
            if (!last) {
                enter(t, fd, st);
                continue;
            }
            t.handle = fd;  // a folder's name: no entry of its own to write
            t.st = st;
            return found(std::move(t));
        }
        t.entry = part;
        t.handle = fd;
        t.st = st;
        t.planted =
            (S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode)) && is_planted(st.st_uid, t.folder_st);
        return found(std::move(t));
    }
    // Every component was "." or a link to "." or "/": the name is the folder's.
    t.handle = fcntl(t.folder, F_DUPFD_CLOEXEC, 0);
    if (t.handle < 0) {
        return refused(errno);
    }
    t.st = t.folder_st;
    return found(std::move(t));
}

int reopen(const Target& target, int flags) {
    char path[32];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", target.handle);
    flags |= O_CLOEXEC | O_NOCTTY;
    const int fd = ::open(path, flags);
    if (fd >= 0 || errno != ENOENT || target.entry.empty()) {
        return fd;
    }
    int by_name = openat(target.folder, target.entry.c_str(), flags | O_NOFOLLOW);
    struct stat st;
    if (by_name >= 0 && (fstat(by_name, &st) != 0 || st.st_dev != target.st.st_dev ||
                         st.st_ino != target.st.st_ino)) {
        close_descriptor(by_name);
        errno = ESTALE;
    }
    return by_name;
}

int open_to_read(Target& target, int flags) {
    int fd = reopen(target, O_RDONLY | flags);
    if (fd >= 0 && fstat(fd, &target.st) != 0) {
        const int errnum = errno;
        close_descriptor(fd);
        errno = errnum;
    } else if (fd >= 0) {
        target.reaches = reaches(target.st);
        target.stands = stands_on(target.st);
    }
    return fd;
}

bool same_file(const Target& a, const Target& b) {
    if (a.errnum != 0 || b.errnum != 0) {
        return false;
    }
    if ((a.exists() && overlaps(a.reaches, b.stands)) ||
        (b.exists() && overlaps(b.reaches, a.stands))) {
        return true;
    }
    return !a.exists() && !b.exists() && !a.entry.empty() && a.entry == b.entry &&
           a.folder_st.st_dev == b.folder_st.st_dev && a.folder_st.st_ino == b.folder_st.st_ino;
}

}  // namespace datmend
