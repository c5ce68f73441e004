// The line is drawn with a carriage return and blanks only, no other control sequence, cut to the
// terminal's width so that it never wraps; a line that cannot be written is no failure of the
// run.
#include "driver/status_line.hpp"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "outputs/signals.hpp"

namespace datmend {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kQuiet = std::chrono::seconds(1);           // before the first line
constexpr auto kBetween = std::chrono::milliseconds(200);  // between two lines

// Bytes as a person reads them: B, KiB, MiB or GiB.
std::string human(double bytes) {
    const char* const units[] = {"B", "KiB", "MiB", "GiB"};
    int unit = 0;
    for (; unit < 3 && bytes >= 1024; ++unit) {
        bytes /= 1024;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

std::string format_line(std::uint32_t position, std::uint32_t size, double seconds,
                        std::uint32_t active, std::uint32_t dumped, std::uint64_t unreadable) {
    const double done = position;
    const auto percent = size == 0 ? 100u : static_cast<unsigned>(100.0 * done / size);
    char text[256];
    std::snprintf(text, sizeof text, "%3u%% %s of %s  %s/s  %u copied  %u dumped", percent,
                  human(done).c_str(), human(size).c_str(),
                  human(seconds > 0 ? done / seconds : 0).c_str(), active, dumped);
    std::string line = text;
    if (unreadable != 0) {
        line += "  " + human(static_cast<double>(unreadable)) + " unreadable";
    }
    const auto whole = static_cast<unsigned>(seconds);
    std::snprintf(text, sizeof text, "  %u:%02u", whole / 60, whole % 60);
    return line + text;
}

// The columns the line may take: one short of the terminal's width, so that it never wraps.
std::size_t width_of(int fd) {
    winsize size{};
    const std::size_t columns =
        ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
    return std::min<std::size_t>(columns - 1, 500);
}

void write_all_of(int fd, const char* data, std::size_t n) {
    while (n > 0) {
        const ssize_t done = write(fd, data, n);
        if (done <= 0) {
            return;
        }
        data += done;
        n -= static_cast<std::size_t>(done);
    }
}

}  // namespace

StatusLine::StatusLine(int fd, std::uint32_t size, int shared_with)
    : fd_(fd), on_(fd >= 0 && isatty(fd) == 1), size_(size) {
    if (!on_) {
        return;
    }
    start_ = Clock::now();
    drawn_at_ = start_;
    struct stat line;
    struct stat text;
    shared_ = isatty(shared_with) == 1 && fstat(fd_, &line) == 0 &&
              fstat(shared_with, &text) == 0 && line.st_rdev == text.st_rdev;
}

void StatusLine::records(const RecordRun& run) {
    position_ = std::max(position_, run.end);
    active_ += run.active;
}

void StatusLine::discarded(const Stretch& stretch) {
    position_ = std::max(position_, stretch.last + 1);
    ++dumped_;
    unreadable_ += stretch.unreadable;
}

void StatusLine::reached(std::uint32_t offset) {
    position_ = std::max(position_, offset);
    if (!on_) {
        return;
    }
    const auto now = Clock::now();
    if (now - start_ < kQuiet || (drawn_ && now - drawn_at_ < kBetween)) {
        return;
    }
    drawn_at_ = now;
    drawn_ = true;
    draw();
}

// Cut to the width, and over what is left of a longer line drawn before it.
void StatusLine::draw() {
    const double seconds = std::chrono::duration<double>(drawn_at_ - start_).count();
    const std::string line = format_line(position_, size_, seconds, active_, dumped_, unreadable_);
    const std::string text = line.substr(0, width_of(fd_));
    std::string out = "\r" + text;
    if (text.size() < shown_) {
        out.append(shown_ - text.size(), ' ');
    }
    shown_ = std::max(shown_, text.size());
    eraser_[0] = '\r';
    std::memset(eraser_.data() + 1, ' ', shown_);
    eraser_[shown_ + 1] = '\r';
    write_on_fatal_signal(fd_, eraser_.data(), shown_ + 2);
    write_all_of(fd_, out.data(), out.size());
}

void StatusLine::erase() {
    if (shown_ == 0) {
        return;
    }
    write_all_of(fd_, eraser_.data(), shown_ + 2);
    write_on_fatal_signal(fd_, nullptr, 0);
    shown_ = 0;
}

void StatusLine::finish() {
    erase();
    on_ = false;
}

}  // namespace datmend
