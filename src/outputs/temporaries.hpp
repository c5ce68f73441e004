// The files the tool makes beside an output's name: temporary files, named after the output and
// hidden, which must never outlive the run, and the record of them (and of a status line to
// erase) that SIGINT, SIGTERM and SIGHUP clean up. This list, which a signal handler can reach and
// nothing else can, is the one state of the tool that is not passed around.
#pragma once

#include <cstddef>
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

// Takes name off the list, where it is no longer a temporary file (its content has a name now).
void forget_temporary(int folder, const std::string& name);

// Has SIGINT, SIGTERM and SIGHUP remove the listed files before they end the process, as they
// would have without it; a signal that was ignored when the tool started stays ignored, as
// nohup and a background job in a script ask.
void remove_temporaries_on_fatal_signals();

// Has a fatal signal write the n bytes at text (which must stay there) to fd before the process
// ends, as a status line on the terminal needs to be erased; n 0 for nothing.
void write_on_fatal_signal(int fd, const char* text, std::size_t n);

// Holds SIGINT, SIGTERM and SIGHUP off for the rest of the process: from the moment the names
// start to change, the run either completes or is undone, and a signal then changes nothing.
void hold_fatal_signals();

}  // namespace datmend
