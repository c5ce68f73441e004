// Following symbolic links by hand, a component at a time: the tool must know the file a link
// leads to before it exists, to create its temporary file beside it and to tell two names for it
// apart, and it renames over the file rather than opening it, so the kernel's own protections for
// shared folders would not apply to it.
#include "outputs/target.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <deque>

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

std::string joined(const std::string& folder, const std::string& part) {
    if (folder == ".") {
        return part;
    }
    return folder == "/" ? "/" + part : folder + "/" + part;
}

// True when folder is sticky and anyone may write to it, and owner is neither the caller nor the
// folder's owner: the kernel's rule for what may be followed or written there.
bool is_planted(uid_t owner, const std::string& folder) {
    struct stat st;
    if (stat(folder.c_str(), &st) != 0) {
        return false;  // the system will say what is wrong with the folder
    }
    const bool shared = (st.st_mode & S_ISVTX) != 0 && (st.st_mode & S_IWOTH) != 0;
    return shared && owner != geteuid() && owner != st.st_uid;
}

OutputTarget refused(std::string path, std::string folder, std::string entry, int errnum) {
    return {std::move(path), std::move(folder), std::move(entry), errnum};
}

}  // namespace

OutputTarget resolve_target(const std::string& name) {
    if (name.empty() || name.back() == '/') {
        return {name, name, ""};  // a folder's name, or none: no file of its own
    }
    std::string folder = name[0] == '/' ? "/" : ".";
    std::deque<std::string> rest = components_of(name);
    for (int links = 0; !rest.empty();) {
        const std::string part = rest.front();
        rest.pop_front();
        const std::string path = joined(folder, part);
        struct stat st;
        const bool exists = lstat(path.c_str(), &st) == 0;
        if (!exists || !S_ISLNK(st.st_mode)) {
            if (rest.empty()) {
                const bool planted = exists && (S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode)) &&
                                     is_planted(st.st_uid, folder);
                return refused(path, folder, part, planted ? EACCES : 0);
            }
            folder = path;  // a folder, or what the system will refuse as one
            continue;
        }
        if (++links > kMostLinks) {
            return refused(path, folder, part, ELOOP);
        }
        if (is_planted(st.st_uid, folder)) {
            return refused(path, folder, part, EACCES);
        }
        char target[PATH_MAX];
        const ssize_t n = readlink(path.c_str(), target, sizeof target);
        if (n <= 0 || n == static_cast<ssize_t>(sizeof target)) {
            return refused(path, folder, part, n < 0 ? errno : ENAMETOOLONG);
        }
        const std::string link(target, static_cast<std::size_t>(n));
        if (link[0] == '/') {
            folder = "/";
        }
        std::deque<std::string> spliced = components_of(link);
        if (link.back() == '/' && rest.empty()) {
            return {link, link, ""};  // a link to a folder's name
        }
        rest.insert(rest.begin(), spliced.begin(), spliced.end());
    }
    return {folder, folder, ""};  // every component was a link to "." or "/"
}

}  // namespace datmend
