// The files the tool makes beside an output's name: temporary files, named after the output and
// hidden, created exclusively through the folder's descriptor and listed for a fatal signal to
// remove (signals.hpp), and the hidden names the commit keeps what a name held under.
#pragma once

#include <string>

#include "outputs/system_calls.hpp"

namespace datmend {

// A fresh hidden name in a folder for a file named entry: ".<entry>.datmend-XXXXXX", with entry
// cut so that the name fits in NAME_MAX.
std::string hidden_name_for(const std::string& entry);

// Creates a temporary file in folder (a descriptor) for entry with the permission bits mode (less
// the umask, or as the folder's default ACL has them), lists it, and returns its descriptor, or
// -1 with errno set. name receives its name in the folder.
int create_temporary(const SystemCalls& calls, int folder, const std::string& entry, mode_t mode,
                     std::string& name);

// Removes the temporary file name in folder, and takes it off the list.
void remove_temporary(int folder, const std::string& name);

// Takes name off the list, where it is no longer a temporary file (its content has a name now,
// or it keeps what a name held).
void forget_temporary(int folder, const std::string& name);

}  // namespace datmend
