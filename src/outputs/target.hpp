// Where an output name leads: symbolic links followed to the path they end at, which need not
// exist yet, split into the folder that holds it and its name there. Links are followed as the
// kernel follows them with protected_symlinks on, and a file found in a shared folder is taken
// as the kernel takes it with protected_regular on, so that nothing planted in a folder anyone
// may write to (such as /tmp) can send the output over another user's file.
#pragma once

#include <string>

namespace datmend {

struct OutputTarget {
    std::string path;    // the name with its links followed
    std::string folder;  // the folder path names an entry of: "." when it has no slash
    std::string entry;   // its last component; empty when the name ends in a slash
    int errnum = 0;      // ELOOP past 40 links; EACCES for a link or file the kernel would refuse
};

// Follows the links of every component of name, at most 40 as the system does; a link that
// leads to a name not yet taken gives that name. In a sticky folder that anyone may write to, a
// link is followed, and a regular file or FIFO there is written, only when it belongs to the
// caller or to the folder's owner.
OutputTarget resolve_target(const std::string& name);

}  // namespace datmend
