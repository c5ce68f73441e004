// Where an output name leads: symbolic links followed to the path they end at, which need not
// exist yet, split into the folder that holds it and its name there. Links are followed as the
// kernel follows them with protected_symlinks on, so that a link planted in a shared folder
// cannot send the output over another user's file.
#pragma once

#include <string>

namespace datmend {

struct OutputTarget {
    std::string path;    // the name with its links followed
    std::string folder;  // the folder path names an entry of: "." when it has no slash
    std::string entry;   // its last component; empty when the name ends in a slash
    int errnum = 0;      // ELOOP past 40 links, EACCES for a link the kernel would not follow
};

// Follows the links of name's last component, at most 40 as the system does; a link that leads
// to a name not yet taken gives that name. A link in a sticky, world-writable folder is followed
// only when it belongs to the caller or to the folder's owner.
OutputTarget resolve_target(const std::string& name);

}  // namespace datmend
