// The status line of a long salvage on the terminal that standard error is, one sink of the
// findings: how far the reading is, drawn in place once the run has lasted a second, at most five
// times a second, only while the run is in the terminal's foreground, and erased before anything
// else is written to that terminal and before the run ends, so that what stays on the terminal
// is what a run without it leaves. Off a terminal it writes nothing at all.
#pragma once

#include <signal.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <string>

#include "salvage/findings.hpp"

namespace datmend {

class StatusLine final : public Findings {
  public:
    // A line on fd about a salvage of a file of size bytes; off unless fd is a terminal.
    // shared_with: the descriptor the report goes to; when it is the same terminal, the line
    // is taken away while the report writes (hide() and show()).
    StatusLine(int fd, std::uint32_t size, int shared_with);
    ~StatusLine() override { finish(); }
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;

    bool on() const { return on_; }
    bool shares_terminal() const { return shared_; }

    void header(const HeaderJudgement&) override {}
    void records(const RecordRun& run) override;
    void discarded(const Stretch& stretch) override;
    void repaired(const RepairedRecord&) override { ++dumped_; }
    // The clock is read here only, about once per window of the file.
    void reached(std::uint32_t offset) override;

    // Takes the line off the terminal until it is due again.
    void erase();
    // Erases the line for good: nothing is drawn after.
    void finish();

  private:
    void draw();
    void forget_line();

    int fd_;
    bool on_;
    bool shared_ = false;
    std::uint32_t size_;
    std::uint32_t position_ = 0;  // the farthest the walk or its reading has come
    std::uint32_t active_ = 0;
    std::uint32_t dumped_ = 0;  // stretches and repaired records, as the summary counts them
    std::uint64_t unreadable_ = 0;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point drawn_at_;
    bool drawn_ = false;     // at least once
    std::size_t shown_ = 0;  // columns the terminal shows of the line now
    // "\r", shown_ blanks and "\r": what takes the line away, even from a signal handler.
    std::array<char, 512> eraser_{};
    // The handlers of SIGTSTP and SIGWINCH before the line's own, put back by finish().
    struct sigaction stop_before_ {};
    struct sigaction resize_before_ {};
};

}  // namespace datmend
