// Where an output name leads: symbolic links followed to the path they end at, which need not
// exist yet, split into the folder that holds it and its name there.
#pragma once

#include <string>

namespace datmend {

struct OutputTarget {
    std::string path;    // the name with its links followed
    std::string folder;  // the folder path names an entry of: "." when it has no slash
    std::string entry;   // its last component; empty when the name ends in a slash
};

// Follows the links of name's last component, at most 40 as the system does; a link that leads
// to a name not yet taken gives that name.
OutputTarget resolve_target(const std::string& name);

}  // namespace datmend
