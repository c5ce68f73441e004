// Following symbolic links by hand: the tool must know the file a link leads to before it
// exists, to create its temporary file beside it and to tell two names for it apart.
#include "writer/target.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace datmend {

namespace {

constexpr int kMostLinks = 40;

OutputTarget split(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return {path, ".", path};
    }
    return {path, slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// The kernel's rule for a link in a sticky, world-writable folder such as /tmp: followed only
// when its owner is the follower or the folder's owner.
bool may_follow(const struct stat& link, const std::string& folder) {
    struct stat st;
    if (stat(folder.c_str(), &st) != 0) {
        return true;  // the link itself was found there: the kernel will say what is wrong
    }
    const bool shared = (st.st_mode & S_ISVTX) != 0 && (st.st_mode & S_IWOTH) != 0;
    return !shared || link.st_uid == geteuid() || link.st_uid == st.st_uid;
}

}  // namespace

OutputTarget resolve_target(const std::string& name) {
    std::string path = name;
    for (int links = 0;; ++links) {
        OutputTarget here = split(path);
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            return here;  // not a link, or not there yet
        }
        if (links == kMostLinks) {
            here.errnum = ELOOP;
            return here;
        }
        if (!may_follow(st, here.folder)) {
            here.errnum = EACCES;
            return here;
        }
        char target[PATH_MAX];
        const ssize_t n = readlink(path.c_str(), target, sizeof target);
        if (n <= 0 || n == static_cast<ssize_t>(sizeof target)) {
            here.errnum = n < 0 ? errno : ENAMETOOLONG;
            return here;
        }
        const std::string link(target, static_cast<std::size_t>(n));
        path = link[0] == '/' || here.folder == "." ? link : here.folder + "/" + link;
    }
}

}  // namespace datmend
