// The system calls that write and commit the output files, in one place, so that a test can make
// any one of them fail as a full disk, a network filesystem or a refusing folder would. Each
// behaves as the call it is named after: -1 with errno set on failure. The writes are the
// writers' own seam (io/write_calls.hpp), which these extend.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>

#include "io/write_calls.hpp"

namespace datmend {

struct SystemCalls : WriteCalls {
    std::function<ssize_t(int fd, const void* data, std::size_t n, off_t offset)> pwrite;
    std::function<int(int folder, const char* name, int flags, mode_t mode)> openat;
    std::function<int(int fd)> fsync;  // files and folders alike
    std::function<int(int fd, uid_t owner, gid_t group)> fchown;
    std::function<int(int fd, mode_t mode)> fchmod;
    std::function<int(int fd, const char* name, const void* value, std::size_t n, int flags)>
        fsetxattr;
    // Reading the attributes of the file a replaced name holds, as flistxattr(2) and fgetxattr(2).
    std::function<ssize_t(int fd, char* names, std::size_t n)> flistxattr;
    std::function<ssize_t(int fd, const char* name, void* value, std::size_t n)> fgetxattr;
    std::function<int(int fd)> close;
    std::function<int(int from_folder, const char* from, int to_folder, const char* to,
                      unsigned flags)>
        renameat2;
    std::function<int(int from_folder, const char* from, int to_folder, const char* to, int flags)>
        linkat;
};

// The calls themselves.
const SystemCalls& real_system_calls();

}  // namespace datmend
