// The real system calls behind the output side's seam.
#include "outputs/system_calls.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace datmend {

const SystemCalls& real_system_calls() {
    static const SystemCalls calls{
        {::write, ::writev},
        ::pwrite,
        [](int folder, const char* name, int flags, mode_t mode) {
            return ::openat(folder, name, flags, mode);
        },
        ::fsync,
        ::fchown,
        ::fchmod,
        ::fsetxattr,
        ::flistxattr,
        ::fgetxattr,
        ::close,
        ::renameat2,
        ::linkat,
    };
    return calls;
}

}  // namespace datmend
