// The damaged file, read by offset through one large window, so that the walk, the scan and the
// dump move a pointer instead of making a system call per field. The file itself is only ever
// read. It is read in 512-byte sectors: a sector whose read fails is unreadable, shows as zeros
// in the window, is never read again, and never hides the readable sectors around it.
#pragma once

#include <sys/stat.h>
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

    DamagedFile();
    DamagedFile(const DamagedFile&) = delete;
    DamagedFile& operator=(const DamagedFile&) = delete;
    ~DamagedFile() { close(); }

    // Opens name for reading; false with errno set when it cannot be opened.
    bool open(const char* name);
    // Takes fd, a descriptor open for reading, as the file; false, errno as it is, when fd is -1.
    bool adopt(int fd);
    // The descriptor the file is read through, -1 once closed: for the checks that must judge
    // the very file read.
    int descriptor() const { return fd_; }
    // Takes the size of the file by seeking to its end; false with errno set when it cannot
    // seek. Reads stop at this size; if the file shrinks, the bytes it lost are unreadable.
    // What has been found unreadable is left as it is.
    bool measure(std::uint64_t& size);
    // Takes the file to be size bytes long where that is longer than measured, as the original
    // of a rescued copy that stops short is: every sector from the one that holds the measured
    // end on is unreadable, exactly like one whose read fails, and is never read.
    void extend(std::uint32_t size);
    // The file's size (capped below 2^32), as measured or extended: nothing at or past it is
    // read.
    std::uint32_t physical_eof() const { return size_; }
    // The file's status, as fstat(2) gives it; false with errno set.
    bool status(struct stat& st) const { return fstat(fd_, &st) == 0; }
    // Closes the file and releases the window; what was found unreadable is still known.
    void close();
    void set_read_function(ReadFunction read) { read_ = std::move(read); }

    // Until released, a refill starts the window at the sector of offset whenever what is
    // asked for fits in the window from there, and where it does not, at the sector of what is
    // asked for, as always. The walk holds the start of a stretch while it scans past it and
    // dumps it, so that a stretch shorter than the window is not read twice.
    void hold(std::uint32_t offset) { held_ = offset; }
    void release() { held_ = kNothingHeld; }

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
    // the next call that reads. This is the one view that may be written to: the copy loop
    // re-frames the records it takes where they lie, since the walk only ever reads on from its
    // position and nothing reads them again.
    std::span<std::uint8_t> held_readable(std::uint32_t offset) {
        const std::uint32_t into = offset - start_;  // below start_, wraps past length_
        if (into >= length_) {
            return {};
        }
        std::size_t n = length_ - into;
        if (any_unreadable_) {
            n = readable_until(offset, static_cast<std::uint32_t>(offset + n)) - offset;
        }
        return {window_.get() + into, n};
    }

    // The first byte from offset up to limit that has been found unreadable, or limit when none
    // has. Ask after view(), which is what finds them.
    std::uint32_t readable_until(std::uint32_t offset, std::uint32_t limit) const {
        return any_unreadable_ ? first_unreadable(offset, limit) : limit;
    }
    // The first byte from offset up to limit that has not been found unreadable, or limit.
    std::uint32_t unreadable_until(std::uint32_t offset, std::uint32_t limit) const;
    // True when none of the n bytes at offset has been found unreadable. Ask after view().
    bool readable(std::uint32_t offset, std::size_t n) const {
        const auto end = static_cast<std::uint32_t>(offset + n);
        return readable_until(offset, end) == end;
    }
    // How many of the bytes from first up to end have been found unreadable.
    std::uint32_t unreadable_in(std::uint32_t first, std::uint32_t end) const {
        return any_unreadable_ ? count_unreadable(first, end) : 0;
    }
    // Sets flags[i] to 1 where byte offset + i has been found unreadable, 0 elsewhere.
    void flag_unreadable(std::uint32_t offset, std::uint32_t n, std::uint8_t* flags) const;
    // How many times the window has been filled from the file so far.
    std::uint64_t windows_read() const { return windows_read_; }
    // Takes every sector that first to end touches as unreadable, as if its read had failed:
    // it is never read. Bytes past the file's size are not in it and are left out.
    void mark_unreadable_sectors(std::uint32_t first, std::uint32_t end);

  private:
    std::span<const std::uint8_t> load(std::uint32_t offset, std::size_t n);
    void fill(std::uint32_t first, std::uint32_t end);
    enum class ReadEnd { done, failed, shrunk };
    ReadEnd read_through(std::uint32_t& first, std::uint32_t end);
    void read_range(std::uint32_t first, std::uint32_t end);
    void read_sectors(std::uint32_t first, std::uint32_t end);
    void record_unreadable_sector(std::uint32_t offset);
    void record_shrink(std::uint32_t first);
    void zero_held(std::uint32_t first, std::uint32_t end);
    void cover_sectors();
    std::uint32_t readable_end() const { return std::min(shrunk_to_, size_); }
    std::uint32_t find_sector(std::uint32_t first, std::uint32_t end, bool bad) const;
    std::uint32_t first_unreadable(std::uint32_t offset, std::uint32_t limit) const;
    std::uint32_t count_unreadable(std::uint32_t first, std::uint32_t end) const;
    std::uint8_t* at(std::uint32_t offset) { return window_.get() + (offset - start_); }

    ReadFunction read_;
    int fd_ = -1;
    std::uint32_t size_ = 0;  // measured or extended; nothing at or past it is read
    std::unique_ptr<std::uint8_t[]> window_;
    std::uint32_t start_ = 0;  // file offset of window_[0], a multiple of kSectorSize
    std::size_t length_ = 0;   // bytes of the window that hold the file; <= kWindowSize
    static constexpr std::uint32_t kNothingHeld = ~std::uint32_t{0};
    std::uint32_t held_ = kNothingHeld;
    // What was found unreadable: a bit per sector (bit s % 64 of word s / 64), sized for the
    // file before its first read or mark and grown only when the file is extended, so that
    // memory is bounded by the file's size whatever the damage (a 2 GiB file's bitmap is
    // 512 KiB); a word it does not have yet is all readable. And where the file was found to
    // end short of its size.
    std::vector<std::uint64_t> bad_sectors_;
    std::uint32_t shrunk_to_ = ~std::uint32_t{0};  // every byte from here to size_ is unreadable
    bool any_unreadable_ = false;
    std::uint64_t windows_read_ = 0;
};

}  // namespace datmend
