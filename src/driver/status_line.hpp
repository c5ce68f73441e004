// The status line of a long salvage on the terminal that standard error is: how far the walk is,
// drawn in place once the run has lasted a second, at most five times a second, and erased
// before anything else is written to that terminal and before the run ends, so that what stays
// on the terminal is what a run without it leaves. Off a terminal it writes nothing at all.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <string>

#include "io/writer.hpp"
#include "salvage/damaged_file.hpp"
#include "salvage/dump.hpp"

namespace datmend {

class StatusLine {
  public:
    // A line on fd about a walk over a file of size bytes; off unless fd is a terminal.
    StatusLine(int fd, std::uint32_t size);
    ~StatusLine() { finish(); }
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;

    bool on() const { return on_; }
    // Follows the reading of file, whose every new window of bytes brings the line up to date
    // when it is due, with the stretches dumped in damage and the bytes found unreadable; and,
    // where report goes to the same terminal, has the line taken away before report text is
    // written and put back after. Until finish().
    void follow(DamagedFile& file, const DamageLog& damage, Writer& report);
    // Erases the line for good, and stops following.
    void finish();
    // Where the walk is and the active records copied so far; the clock is not read here.
    void note_walk(std::uint32_t position, std::uint32_t active);
    // Takes the line off the terminal until it is due again.
    void erase();

  private:
    void note_read(std::uint32_t offset);
    void show(const std::string& text);

    DamagedFile* file_ = nullptr;  // followed
    const DamageLog* damage_ = nullptr;
    Writer* report_ = nullptr;    // sharing the terminal
    std::uint32_t position_ = 0;  // the farthest the walk or its reading has come
    std::uint32_t active_ = 0;
    int fd_;
    bool on_;
    std::uint32_t size_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point drawn_at_;
    std::string line_;       // as last formatted; empty until first drawn
    std::size_t shown_ = 0;  // columns the terminal shows of it now
    bool hidden_ = false;    // taken away while the report writes, to be put back
    // "\r", shown_ blanks and "\r": what takes the line away, even from a signal handler.
    std::array<char, 512> eraser_{};
};

}  // namespace datmend
