// Buffered, checked output. The stream itself is unbuffered: buffer_ is its only buffer, so
// a failure is seen by the call that hands the bytes to the system.
#include "writer/output_file.hpp"

namespace datmend {

OutputFile::~OutputFile() {
    if (stream_ != nullptr) {
        std::fclose(stream_);
    }
}

bool OutputFile::open(const char* name) {
    stream_ = std::fopen(name, "wb");
    if (stream_ == nullptr) {
        return false;
    }
    std::setvbuf(stream_, nullptr, _IONBF, 0);
    buffer_ = std::make_unique_for_overwrite<std::uint8_t[]>(kBufferSize);
    used_ = 0;
    error_ = 0;
    return true;
}

// Hands n bytes to the system, remembering the first failure.
bool OutputFile::put(const void* data, std::size_t n) {
    if (error_ != 0) {
        return false;
    }
    errno = 0;
    if (n > 0 && std::fwrite(data, 1, n, stream_) != n) {
        error_ = errno_or_eio();
        return false;
    }
    return true;
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

bool OutputFile::flush() {
    const std::size_t n = used_;
    used_ = 0;
    return put(buffer_.get(), n);
}

bool OutputFile::close() {
    if (stream_ == nullptr) {
        return error_ == 0;
    }
    bool ok = flush();
    errno = 0;
    if (std::fclose(stream_) != 0 && ok) {
        error_ = errno_or_eio();
        ok = false;
    }
    stream_ = nullptr;
    buffer_.reset();
    return ok;
}

}  // namespace datmend
