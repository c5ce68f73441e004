// Where a name of the run leads, found once at the start and held by descriptor from then on: the
// folder that holds it, its entry there, and the file itself where there is one, with what it
// stands on. The refusals, the opening, the temporary file beside it and the commit all work from
// these descriptors, so that the file judged is the file written or read, whatever the name
// leads to by then. Links are followed as the kernel follows them with protected_symlinks on, and
// a file found in a shared folder is marked as the kernel takes it with protected_regular on, so
// that nothing planted in a folder anyone may write to (such as /tmp) can send an output over
// another user's file.
#pragma once

#include <sys/stat.h>

#include <string>

#include "outputs/aliases.hpp"

namespace datmend {

// Owns its descriptors: moved, never copied. Where errnum is set, nothing else is.
struct Target {
    Target() = default;
    Target(Target&& other) noexcept;
    Target& operator=(Target&& other) noexcept;
    Target(const Target&) = delete;
    Target& operator=(const Target&) = delete;
    ~Target();

    bool exists() const { return handle >= 0; }

    int folder = -1;  // O_PATH descriptor of the folder that holds entry
    struct stat folder_st {};
    std::string entry;  // the name in folder; empty where the name is a folder's
    int handle = -1;    // O_PATH descriptor of the file; -1 while the name is not taken
    struct stat st {};  // the file's status, where it exists
    Footprint reaches;  // what writing into the file reaches; nothing while it does not exist
    Footprint stands;   // what the file stands on, or for a name not yet taken, its folder
    // A regular file or FIFO in a shared folder that belongs to neither the caller nor the
    // folder's owner: what the kernel refuses to write through O_CREAT, and the tool to write.
    bool planted = false;
    // Why the name cannot be followed: ELOOP past 40 links, EACCES for a link in a shared folder
    // that belongs to neither the caller nor the folder's owner, or the system's word.
    int errnum = 0;
};

// Follows the links of every component of name by hand, at most 40 as the system does, and in a
// sticky folder that anyone may write to, only those of the caller or of the folder's owner; a
// link that leads to a name not yet taken gives that name. A link of /proc that is no path (a
// pipe or a socket of /dev/fd) is followed as the kernel follows it.
Target resolve_target(const std::string& name);

// The file target leads to (it exists), opened anew with flags (close-on-exec and no controlling
// terminal added): through its descriptor, or where /proc is not mounted, through its entry,
// and then only if that is still the same file (else ESTALE). -1 with errno set on failure.
int reopen(const Target& target, int flags);

// Opens the file target leads to for reading, with flags besides (O_NONBLOCK), and takes its
// status and footprints anew from the descriptor opened, by which it is judged from then on. -1
// with errno set on failure.
int open_to_read(Target& target, int flags = 0);

// True when writing into a or b would write over the other: one inode by whatever path or link,
// unless a character device; one block device, or a disk and one of its partitions; a device that
// the other, or the folder where the other is to be created, stands on; or two names not yet
// taken that are one entry of one folder once links are followed.
bool same_file(const Target& a, const Target& b);

}  // namespace datmend
