// The report on standard output, through a buffer of its own. Every write is checked: the first
// failure is kept, nothing more is written or formatted after it, and the salvage goes on, so
// that a lost report never costs the files. The driver asks at the end whether all of it went.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

namespace datmend {

// Formatting in place, into room that Report::reserve() gave, for the messages printed once per
// damaged record: each writes at p and returns the end of what it wrote.
inline char* format_text(char* p, std::string_view text) {
    std::memcpy(p, text.data(), text.size());
    return p + text.size();
}
// value in signed decimal, as printf's %d writes it: at most kDecimalWidth characters.
constexpr std::size_t kDecimalWidth = 11;
char* format_decimal(char* p, std::int32_t value);

class Report {
  public:
    static constexpr std::size_t kBufferSize = std::size_t{256} << 10;

    explicit Report(int fd = STDOUT_FILENO);

    // Appends n bytes; pieces as large as the buffer go to the system directly.
    void put(const char* data, std::size_t n) {
        if (n <= kBufferSize - used_) {
            std::memcpy(buffer_.get() + used_, data, n);
            used_ += n;
        } else {
            put_through(data, n);
        }
    }
    void put(std::string_view text) { put(text.data(), text.size()); }

    // Room for n bytes (n <= kBufferSize) at the end of the buffer, to be formatted in place and
    // then handed over with commit(); what is not committed is not written.
    char* reserve(std::size_t n) {
        if (n > kBufferSize - used_) {
            flush();
        }
        return buffer_.get() + used_;
    }
    void commit(std::size_t n) { used_ += n; }
    // printf-formatted text; nothing is formatted once the report has failed.
    void print(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Writes out what is buffered; false once any of the report could not be written.
    bool flush();
    // Counts the report as lost from the start: standard output was closed.
    void fail(int errnum) { error_ = errnum; }
    bool failed() const { return error_ != 0; }
    int error() const { return error_; }  // errno of the first failure, 0 while all is well

  private:
    void put_through(const char* data, std::size_t n);
    void write_out(const char* data, std::size_t n);

    int fd_;
    std::unique_ptr<char[]> buffer_;
    std::size_t used_ = 0;  // bytes waiting in buffer_; <= kBufferSize
    int error_ = 0;
};

}  // namespace datmend
