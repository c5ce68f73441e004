// A file the tool writes, through one large buffer so that a record costs a memcpy, not a
// system call. Every call returns false once a write, flush or close has failed; error()
// then holds the failure's errno, for the caller to report.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "io/write_all.hpp"

namespace datmend {

class OutputFile {
  public:
    static constexpr std::size_t kBufferSize = std::size_t{1} << 20;

    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();  // closes without reporting; the run has already failed if it gets here open

    // Opens name for writing, created with the permission bits of mode (the umask applying) or
    // truncated; false with errno set on failure.
    bool open(const char* name, mode_t mode);

    bool write(const void* data, std::size_t n) {
        if (n <= kBufferSize - used_) {
            std::memcpy(buffer_.get() + used_, data, n);
            used_ += n;
            return error_ == 0;
        }
        return write_through(data, n);
    }
    // Room for n bytes (n <= kBufferSize) to be written in place and then handed over with
    // commit(); nullptr once a write has failed.
    std::uint8_t* reserve(std::size_t n) {
        if (n > kBufferSize - used_ && !flush()) {
            return nullptr;
        }
        return error_ == 0 ? buffer_.get() + used_ : nullptr;
    }
    void commit(std::size_t n) { used_ += n; }
    // Writes out what is buffered, then the pieces straight from where they lie, without
    // copying them; false once a write has failed. The pieces are used up as writev_all() says.
    bool write_pieces(iovec* pieces, std::size_t count);
    bool flush();
    // Flushes and closes; the file is closed afterwards whatever the result.
    bool close();
    // Closes a file whose first bytes could not be written, emptied if it is a regular file,
    // so that a failed start leaves no half-written file behind.
    void close_empty();
    int error() const { return error_; }

  private:
    bool write_through(const void* data, std::size_t n);
    bool put(const void* data, std::size_t n);

    int fd_ = -1;
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::size_t used_ = 0;  // bytes waiting in buffer_; <= kBufferSize
    int error_ = 0;         // errno of the first failure, 0 while all is well
};

}  // namespace datmend
