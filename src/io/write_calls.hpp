// The system calls through which a buffered writer hands its bytes over, so that a test can make a
// write fail as a full disk would. Each behaves as the call it is named after: -1 with errno set
// on failure.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <functional>

namespace datmend {

struct WriteCalls {
    std::function<ssize_t(int fd, const void* data, std::size_t n)> write;
    std::function<ssize_t(int fd, const iovec* pieces, int count)> writev;
};

// write(2) and writev(2) themselves.
const WriteCalls& real_write_calls();

// Calls that take every byte and keep none, for the files a dry run would have written: what is
// written to them is counted all the same.
const WriteCalls& discarding_write_calls();

}  // namespace datmend
