// Read-only access to the damaged file through one large window, so that the record reader,
// the scan and the dump move a pointer instead of making a system call per field. The file is
// read in 512-byte sectors: a sector whose read fails is unreadable, shows as zeros in the
// window, is never read again, and never hides the readable sectors around it.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <span>
#include <vector>

namespace datmend {

class DamagedFile {
  public:
    static constexpr std::uint32_t kSectorSize = 512;
    // Room for views of up to half of it, and so for any whole record with its framing, which
    // then never straddles a refill; small enough that what was read is still in the
    // processor's cache when it is written out.
    static constexpr std::size_t kWindowSize = std::size_t{256} << 10;

    // How the file is read, as pread(2) does: the count read, 0 at the end of the file, or -1
    // with errno set. Tests put a function here that fails where a bad disk would.
    using ReadFunction = std::function<ssize_t(int fd, void* buf, std::size_t n, off_t offset)>;

    // A stretch of unreadable bytes, [first, end).
    struct Stretch {
        std::uint32_t first = 0;
        std::uint32_t end = 0;
    };

    DamagedFile();
    DamagedFile(const DamagedFile&) = delete;
    DamagedFile& operator=(const DamagedFile&) = delete;
    ~DamagedFile() { close(); }

    // Opens name for reading; false with errno set when it cannot be opened.
    bool open(const char* name);
    // Takes the size of the file by seeking to its end; false with errno set when it cannot
    // seek. Reads stop at this size; if the file shrinks, the bytes it lost are unreadable.
    bool measure(std::uint64_t& size);
    // Closes the file and releases the window; what was found unreadable is still known.
    void close();
    void set_read_function(ReadFunction read) { read_ = std::move(read); }

    // While held, refills keep the window starting at offset as long as what is asked for
    // still fits; the first refill that cannot drops the hold. The scan holds the start of the
    // stretch it will dump, so that a short stretch is not read twice.
    void hold(std::uint32_t offset) { held_ = offset; }
    void release() { held_ = kNothingHeld; }

    std::uint32_t tell() const { return pos_; }
    void seek(std::uint32_t offset) { pos_ = offset; }

    // Copies up to n bytes (n <= kWindowSize / 2) from the position into dst and moves the
    // position past what was copied; returns the number of bytes copied.
    std::size_t read(void* dst, std::size_t n) {
        const auto bytes = view(pos_, n);
        if (!bytes.empty()) {
            std::memcpy(dst, bytes.data(), bytes.size());
        }
        pos_ += static_cast<std::uint32_t>(bytes.size());
        return bytes.size();
    }

    // The n bytes at offset (n <= kWindowSize / 2) as held in the window, unreadable ones as 0;
    // shorter only where the measured file ends. Valid until the next call on this object.
    std::span<const std::uint8_t> view(std::uint32_t offset, std::size_t n) {
        // One comparison: below start_, the difference wraps to far more than the window holds.
        const std::uint32_t into = offset - start_;
        if (std::uint64_t{into} + n <= length_) {
            return {window_.get() + into, n};
        }
        return load(offset, n);
    }

    // What the window holds from offset on, without reading: up to its end or the first byte
    // found unreadable, whichever comes first; empty when it does not hold offset. Valid until
    // the next call that reads. The copy loop rewrites the records it takes there, in place:
    // the walk only ever reads on from its position, so nothing reads them again.
    std::span<std::uint8_t> held_readable(std::uint32_t offset) {
        const std::uint32_t into = offset - start_;  // below start_, wraps past length_
        if (into >= length_) {
            return {};
        }
        std::size_t n = length_ - into;
        if (!unreadable_.empty()) {
            n = std::min<std::size_t>(n, next_unreadable(offset).first - offset);
        }
        return {window_.get() + into, n};
    }

    // True when none of the n bytes at offset has been found unreadable. Ask after view().
    bool readable(std::uint32_t offset, std::size_t n) const {
        return unreadable_.empty() || readable_slow(offset, n);
    }
    // The first unreadable stretch that ends after offset; {size, size} when there is none.
    Stretch next_unreadable(std::uint32_t offset) const;
    // How many bytes have been found unreadable so far.
    std::uint64_t unreadable_bytes() const;

  private:
    std::span<const std::uint8_t> load(std::uint32_t offset, std::size_t n);
    void fill(std::uint32_t first, std::uint32_t end);
    void read_range(std::uint32_t first, std::uint32_t end);
    void read_sectors(std::uint32_t first, std::uint32_t end);
    void mark_sector_unreadable(std::uint32_t offset);
    void mark_unreadable(std::uint32_t first, std::uint32_t end);
    bool readable_slow(std::uint32_t offset, std::size_t n) const;
    std::uint8_t* at(std::uint32_t offset) { return window_.get() + (offset - start_); }

    ReadFunction read_;
    int fd_ = -1;
    std::uint32_t size_ = 0;  // the measured size; nothing at or past it is read
    std::unique_ptr<std::uint8_t[]> window_;
    std::uint32_t start_ = 0;  // file offset of window_[0], a multiple of kSectorSize
    std::size_t length_ = 0;   // bytes of the window that hold the file; <= kWindowSize
    std::uint32_t pos_ = 0;
    static constexpr std::uint32_t kNothingHeld = ~std::uint32_t{0};
    std::uint32_t held_ = kNothingHeld;
    // Sorted, apart and not touching: every byte known unreadable, below size_.
    std::vector<Stretch> unreadable_;
};

}  // namespace datmend
