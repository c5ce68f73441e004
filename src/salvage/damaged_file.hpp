// Read-only access to the damaged file through one large window, so that the record reader,
// the scan and the dump move a pointer instead of making a system call per field. A read that
// delivers fewer bytes than asked for has met the end of the file or a read error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>

namespace datmend {

class DamagedFile {
  public:
    // Large enough for any whole record with its framing, so a record never straddles a refill.
    static constexpr std::size_t kWindowSize = std::size_t{1} << 20;

    DamagedFile() = default;
    DamagedFile(const DamagedFile&) = delete;
    DamagedFile& operator=(const DamagedFile&) = delete;
    ~DamagedFile() { close(); }

    // Opens name for binary reading; false with errno set when it cannot be opened.
    bool open(const char* name);
    // Takes the size of the file, by seeking to its end, and rewinds; false with errno set when
    // the file cannot seek.
    bool measure(std::uint64_t& size);
    void close();

    std::uint32_t tell() const { return pos_; }
    void seek(std::uint32_t offset) { pos_ = offset; }

    // Copies up to n bytes (n <= kWindowSize) from the position into dst and moves the position
    // past what was copied; returns the number of bytes copied.
    std::size_t read(void* dst, std::size_t n) {
        const auto bytes = view(pos_, n);
        if (!bytes.empty()) {
            std::memcpy(dst, bytes.data(), bytes.size());
        }
        pos_ += static_cast<std::uint32_t>(bytes.size());
        return bytes.size();
    }

    // The n bytes at offset (n <= kWindowSize) as held in the window; shorter only where the
    // file ends or cannot be read. Valid until the next call on this object.
    std::span<const std::uint8_t> view(std::uint32_t offset, std::size_t n) {
        if (offset >= start_ && std::uint64_t{offset} + n <= std::uint64_t{start_} + length_) {
            return {window_.get() + (offset - start_), n};
        }
        return load(offset, n);
    }

  private:
    std::span<const std::uint8_t> load(std::uint32_t offset, std::size_t n);

    std::FILE* stream_ = nullptr;
    std::unique_ptr<std::uint8_t[]> window_;
    std::uint32_t start_ = 0;       // file offset of window_[0]
    std::size_t length_ = 0;        // bytes of the window that hold file data; <= kWindowSize
    std::uint64_t stream_pos_ = 0;  // where stream_ stands, to skip seeks that would not move it
    std::uint32_t pos_ = 0;
};

}  // namespace datmend
