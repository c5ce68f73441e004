// Checked, buffered writes of the report. With SIGPIPE ignored, a closed pipe is an EPIPE here
// like any other failure, not the end of the process.
#include "io/report.hpp"

#include "io/write_all.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstdio>

namespace datmend {

Report::Report(int fd) : fd_(fd), buffer_(std::make_unique_for_overwrite<char[]>(kBufferSize)) {}

void Report::print(const char* format, ...) {
    if (failed()) {
        return;
    }
    char line[512];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n < 0) {
        error_ = EINVAL;
    } else if (static_cast<std::size_t>(n) < sizeof line) {
        put(line, static_cast<std::size_t>(n));
    } else {
        // Longer than a line of the report ever is but for a long file name.
        auto text = std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(n) + 1);
        va_start(args, format);
        std::vsnprintf(text.get(), static_cast<std::size_t>(n) + 1, format, args);
        va_end(args);
        put(text.get(), static_cast<std::size_t>(n));
    }
}

void Report::put_decimal(std::int32_t value) {
    static constexpr char kPairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    std::uint32_t rest =
        value < 0 ? 0u - static_cast<std::uint32_t>(value) : static_cast<std::uint32_t>(value);
    // Formed from the last digit back, two at a time, in the first half of text; then 16 bytes
    // go to the buffer in one copy, of which only the number is committed.
    char text[32] = {};
    char* const end = text + 16;
    char* p = end;
    while (rest >= 100) {
        p -= 2;
        std::memcpy(p, kPairs + 2 * (rest % 100), 2);
        rest /= 100;
    }
    if (rest >= 10) {
        p -= 2;
        std::memcpy(p, kPairs + 2 * rest, 2);
    } else {
        *--p = static_cast<char>('0' + rest);
    }
    if (value < 0) {
        *--p = '-';
    }
    std::memcpy(reserve(16), p, 16);
    commit(static_cast<std::size_t>(end - p));
}

bool Report::flush() {
    const std::size_t n = used_;
    used_ = 0;
    write_out(buffer_.get(), n);
    return !failed();
}

void Report::put_through(const char* data, std::size_t n) {
    flush();
    if (n >= kBufferSize) {
        write_out(data, n);
    } else {
        std::memcpy(buffer_.get(), data, n);
        used_ = n;
    }
}

void Report::write_out(const char* data, std::size_t n) {
    if (!failed()) {
        error_ = write_all(fd_, data, n);
    }
}

}  // namespace datmend
