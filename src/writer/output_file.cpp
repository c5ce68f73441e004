// Buffered, checked output straight to the descriptor: a failure is seen by the call that hands
// the bytes to the system.
#include "writer/output_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace datmend {

OutputFile::~OutputFile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool OutputFile::open(const char* name, mode_t mode) {
    fd_ = ::open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode & 0777);
    if (fd_ < 0) {
        return false;
    }
    buffer_ = std::make_unique_for_overwrite<std::uint8_t[]>(kBufferSize);
    used_ = 0;
    error_ = 0;
    return true;
}

// Hands n bytes to the system, remembering the first failure.
bool OutputFile::put(const void* data, std::size_t n) {
    if (error_ == 0) {
        error_ = write_all(fd_, data, n);
    }
    return error_ == 0;
}

bool OutputFile::write_through(const void* data, std::size_t n) {
    if (!flush()) {
        return false;
    }
    if (n >= kBufferSize) {
        return put(data, n);
    }
    std::memcpy(buffer_.get(), data, n);
    used_ = n;
    return error_ == 0;
}

bool OutputFile::write_pieces(iovec* pieces, std::size_t count) {
    if (flush()) {
        error_ = writev_all(fd_, pieces, count);
    }
    return error_ == 0;
}

bool OutputFile::flush() {
    const std::size_t n = used_;
    used_ = 0;
    return put(buffer_.get(), n);
}

bool OutputFile::close() {
    if (fd_ < 0) {
        return error_ == 0;
    }
    bool ok = flush();
    errno = 0;
    if (::close(fd_) != 0 && ok) {
        error_ = errno_or_eio();
        ok = false;
    }
    fd_ = -1;
    buffer_.reset();
    return ok;
}

void OutputFile::close_empty() {
    struct stat st;
    if (fd_ >= 0 && fstat(fd_, &st) == 0 && S_ISREG(st.st_mode) && ftruncate(fd_, 0) != 0) {
        // The write failure that brought us here is what gets reported.
    }
    used_ = 0;
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    buffer_.reset();
}

}  // namespace datmend
