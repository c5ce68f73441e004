// Buffered, checked writes. With SIGPIPE ignored, a closed pipe is an EPIPE here like any other
// failure, not the end of the process.
#include "io/writer.hpp"

#include <cassert>
#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "io/write_all.hpp"

namespace datmend {

Writer::Writer(std::size_t capacity, int fd, const WriteCalls& calls)
    : calls_(calls),
      capacity_(capacity),
      buffer_(std::make_unique_for_overwrite<char[]>(capacity)),
      fd_(fd) {}

void Writer::print(const char* format, ...) {
    if (failed()) {
        return;
    }
    // Every format is a label and a number: far shorter than the line.
    char line[128];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    assert(n >= 0 && static_cast<std::size_t>(n) < sizeof line);
    write(line, static_cast<std::size_t>(n));
}

bool Writer::write_through(const void* data, std::size_t n) {
    if (!flush()) {
        handed_ += n;
        return false;
    }
    if (n >= capacity_) {
        handed_ += n;
        return put(data, n);
    }
    std::memcpy(buffer_.get(), data, n);
    used_ = n;
    return !failed();
}

bool Writer::write_pieces(iovec* pieces, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        handed_ += pieces[i].iov_len;
    }
    if (flush()) {
        error_ = writev_all(calls_, fd_, pieces, count);
    }
    return !failed();
}

bool Writer::flush() {
    const std::size_t n = used_;
    used_ = 0;
    handed_ += n;
    return put(buffer_.get(), n);
}

// Hands n bytes to the system, remembering the first failure.
bool Writer::put(const void* data, std::size_t n) {
    if (!failed() && n > 0) {
        error_ = write_all(calls_, fd_, data, n);
    }
    return !failed();
}

}  // namespace datmend
