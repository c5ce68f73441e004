// Windowed reads of the damaged file. The stream is unbuffered: the window is the buffer.
#include "salvage/damaged_file.hpp"

#include <algorithm>
#include <cstring>

namespace datmend {

namespace {

// After a failed seek or read the stream's position is not known; the next refill seeks.
constexpr std::uint64_t kUnknownPosition = ~std::uint64_t{0};

}  // namespace

bool DamagedFile::open(const char* name) {
    stream_ = std::fopen(name, "rb");
    if (stream_ == nullptr) {
        return false;
    }
    std::setvbuf(stream_, nullptr, _IONBF, 0);
    window_ = std::make_unique_for_overwrite<std::uint8_t[]>(kWindowSize);
    start_ = 0;
    length_ = 0;
    stream_pos_ = 0;
    pos_ = 0;
    return true;
}

bool DamagedFile::measure(std::uint64_t& size) {
    if (fseeko(stream_, 0, SEEK_END) != 0) {
        return false;
    }
    const off_t end = ftello(stream_);
    if (end < 0 || fseeko(stream_, 0, SEEK_SET) != 0) {
        return false;
    }
    stream_pos_ = 0;
    size = static_cast<std::uint64_t>(end);
    return true;
}

void DamagedFile::close() {
    if (stream_ != nullptr) {
        std::fclose(stream_);
        stream_ = nullptr;
    }
    window_.reset();
    length_ = 0;
}

// Refills the window so that it starts at offset, keeping what it already holds from there on.
std::span<const std::uint8_t> DamagedFile::load(std::uint32_t offset, std::size_t n) {
    if (stream_ == nullptr) {
        return {};
    }
    std::size_t kept = 0;
    if (offset >= start_ && offset < std::uint64_t{start_} + length_) {
        kept = length_ - (offset - start_);
        std::memmove(window_.get(), window_.get() + (offset - start_), kept);
    }
    start_ = offset;
    length_ = kept;
    const std::uint64_t want = std::uint64_t{offset} + kept;
    if (stream_pos_ != want) {
        if (fseeko(stream_, static_cast<off_t>(want), SEEK_SET) != 0) {
            stream_pos_ = kUnknownPosition;
            return {window_.get(), std::min(n, length_)};
        }
        stream_pos_ = want;
    }
    std::clearerr(stream_);
    const std::size_t got = std::fread(window_.get() + kept, 1, kWindowSize - kept, stream_);
    stream_pos_ = std::ferror(stream_) ? kUnknownPosition : stream_pos_ + got;
    length_ += got;
    return {window_.get(), std::min(n, length_)};
}

}  // namespace datmend
