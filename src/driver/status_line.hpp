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
#include "salvage/walk.hpp"
#include "writer/copy.hpp"

namespace datmend {

class StatusLine {
  public:
    // A line on fd about a walk over a file of size bytes; off unless fd is a terminal.
    StatusLine(int fd, std::uint32_t size);
    ~StatusLine() { finish(); }
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;

    bool on() const { return on_; }
    // Where report goes to the same terminal, has the line taken away before report text is
    // written and put back after; until the line is erased for good with finish().
    void share_terminal_with(Writer& report);
    // Erases the line for good, before the run goes on to anything else.
    void finish();
    // Takes in where the walk is and what it has copied; reads the clock, and formats and draws
    // the line only when it is due.
    void update(const Walk& walk, const CopyCounts& counts);
    // Takes the line off the terminal, and puts it back, as other text is written there.
    void erase();
    void redraw();

  private:
    void show(const std::string& text);

    Writer* report_ = nullptr;  // sharing the terminal
    int fd_;
    bool on_;
    std::uint32_t size_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point drawn_at_;
    std::string line_;       // as last formatted; empty until first drawn
    std::size_t shown_ = 0;  // columns the terminal shows of it now
    // "\r", shown_ blanks and "\r": what takes the line away, even from a signal handler.
    std::array<char, 512> eraser_{};
};

}  // namespace datmend
