// Following symbolic links by hand: the tool must know the file a link leads to before it
// exists, to create its temporary file beside it and to tell two names for it apart.
#include "writer/target.hpp"

#include <unistd.h>

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

}  // namespace

OutputTarget resolve_target(const std::string& name) {
    std::string path = name;
    for (int links = 0; links < kMostLinks; ++links) {
        char target[PATH_MAX];
        const ssize_t n = readlink(path.c_str(), target, sizeof target);
        if (n <= 0 || n == static_cast<ssize_t>(sizeof target)) {
            break;  // not a link (or one the system could not follow either)
        }
        const std::string link(target, static_cast<std::size_t>(n));
        const OutputTarget here = split(path);
        path = link[0] == '/' || here.folder == "." ? link : here.folder + "/" + link;
    }
    return split(path);
}

}  // namespace datmend
