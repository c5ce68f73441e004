// Writing a whole buffer to a descriptor, as the report and the output files both must: every
// byte or the error number of the failure, never a failure taken for success.
#pragma once

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>

#include "io/write_calls.hpp"

namespace datmend {

// The error number of the call that just failed; EIO when the call failed without setting errno
// (a write that wrote nothing may), so that a failure is never reported as success.
inline int errno_or_eio() {
    return errno != 0 ? errno : EIO;
}

// Writes the n bytes at data to fd through calls, again after a short write or an interruption.
// Returns 0, or the error number of the failure.
inline int write_all(const WriteCalls& calls, int fd, const void* data, std::size_t n) {
    const auto* p = static_cast<const char*>(data);
    while (n > 0) {
        errno = 0;
        const ssize_t done = calls.write(fd, p, n);
        if (done > 0) {
            p += done;
            n -= static_cast<std::size_t>(done);
        } else if (done == 0 || errno != EINTR) {
            return errno_or_eio();
        }
    }
    return 0;
}

// Writes count pieces in order, none of them empty, with as few writev(2) calls as the system
// allows, again after a short write or an interruption. Returns 0, or the error number of the
// failure. The pieces are used up: their bases and lengths move on as bytes are written.
inline int writev_all(const WriteCalls& calls, int fd, iovec* pieces, std::size_t count) {
    while (count > 0) {
        errno = 0;
        const int n = static_cast<int>(std::min<std::size_t>(count, IOV_MAX));
        const ssize_t done = calls.writev(fd, pieces, n);
        if (done <= 0) {
            if (done == 0 || errno != EINTR) {
                return errno_or_eio();
            }
            continue;
        }
        auto left = static_cast<std::size_t>(done);
        for (; count > 0 && left >= pieces->iov_len; ++pieces, --count) {
            left -= pieces->iov_len;
        }
        if (left > 0) {  // a short write ended inside this piece
            pieces->iov_base = static_cast<char*>(pieces->iov_base) + left;
            pieces->iov_len -= left;
        }
    }
    return 0;
}

}  // namespace datmend
