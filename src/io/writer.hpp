// A buffered, checked writer on a descriptor, for the report and for the output files alike. The
// first failure is kept: from then on nothing more is written, every call answers false, and
// error() holds the system's error number for the owner to report.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "io/write_calls.hpp"

namespace datmend {

// The report's buffer: room for any piece of it that is formatted in place.
constexpr std::size_t kReportBufferSize = std::size_t{256} << 10;

class Writer {
  public:
    // A writer with a buffer of capacity bytes, taken now, on descriptor fd (-1: none yet),
    // writing through calls.
    explicit Writer(std::size_t capacity, int fd = -1,
                    const WriteCalls& calls = real_write_calls());

    void set_descriptor(int fd) { fd_ = fd; }
    int descriptor() const { return fd_; }

    // Appends n bytes; pieces as large as the buffer go to the descriptor directly.
    bool write(const void* data, std::size_t n) {
        if (n <= capacity_ - used_) {
            std::memcpy(buffer_.get() + used_, data, n);
            used_ += n;
            return !failed();
        }
        return write_through(data, n);
    }
    bool write(const char* text) { return write(text, std::strlen(text)); }

    // Room for n bytes (n <= capacity) at the end of the buffer, to be filled in place and then
    // handed over with commit(); what is not committed is not written. There is always room:
    // once the writer has failed, what is committed is dropped.
    char* reserve(std::size_t n) {
        if (n > capacity_ - used_) {
            flush();
        }
        return buffer_.get() + used_;
    }
    void commit(std::size_t n) { used_ += n; }

    // A label and a number, printf-formatted, shorter than 128 bytes; nothing is formatted once
    // the writer has failed.
    void print(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Writes out what is buffered, then the pieces straight from where they lie, without
    // copying them. The pieces are used up: their bases and lengths move on as bytes are written.
    bool write_pieces(iovec* pieces, std::size_t count);

    // Hands what is buffered to the descriptor; false once anything could not be written.
    bool flush();

    // Counts the writer as failed from now on, with errnum as the reason.
    void fail(int errnum) { error_ = errnum; }
    bool failed() const { return error_ != 0; }
    int error() const { return error_; }  // errno of the first failure, 0 while all is well

    // Every byte handed over so far, written or waiting in the buffer.
    std::uint64_t written() const { return handed_ + used_; }

  private:
    bool write_through(const void* data, std::size_t n);
    bool put(const void* data, std::size_t n);

    const WriteCalls& calls_;
    std::size_t capacity_;
    std::unique_ptr<char[]> buffer_;
    int fd_;
    std::size_t used_ = 0;      // bytes waiting in buffer_; <= capacity_
    std::uint64_t handed_ = 0;  // bytes handed to the descriptor, or dropped after a failure
    int error_ = 0;
};

// A write that failed: the writer of the file it was for, and the system's error number.
struct WriteFailure {
    const Writer* writer = nullptr;  // nullptr when nothing failed
    int errnum = 0;                  // never 0 when writer is set

    explicit operator bool() const { return writer != nullptr; }
};

}  // namespace datmend
