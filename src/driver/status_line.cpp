// The line is drawn with a carriage return and blanks only, no other control sequence, cut to the
// terminal's width so that it never wraps; a line that cannot be written is no failure of the
// run. Ctrl-Z takes it away before the run stops, and a narrower terminal has it erased and drawn
// again to the new width.
#include "driver/status_line.hpp"

#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
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

// The terminal's width, at most as wide as the eraser's blanks.
std::size_t columns_of(int fd) {
    winsize size{};
    const std::size_t columns =
        ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
    return std::min<std::size_t>(columns, 500);
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

// True unless fd is the controlling terminal and another process group is in its foreground: a
// background job that writes there would be stopped (stty tostop) or draw over the foreground's
// lines.
bool in_foreground(int fd) {
    const pid_t foreground = tcgetpgrp(fd);
    return foreground == -1 || foreground == getpgrp();
}

// What the line's signal handlers must reach, and only they: the one state of this file that is
// not passed around. The eraser of the line as drawn (n 0 when none is), and what happened.
struct LineState {
    int fd = -1;
    const char* eraser = nullptr;
    volatile std::sig_atomic_t n = 0;
    volatile std::sig_atomic_t erased = 0;   // by a stop: the line is no longer on the terminal
    volatile std::sig_atomic_t resized = 0;  // the terminal's width has changed
};
LineState g_line;

// Ctrl-Z: the line is taken off the terminal, then the run stops as the signal would have
// stopped it; when it is continued, it goes on from here.
extern "C" void erase_and_stop(int signal) {
    const int saved = errno;
    if (g_line.n > 0 && write(g_line.fd, g_line.eraser, static_cast<std::size_t>(g_line.n)) > 0) {
        g_line.erased = 1;
    }
    struct sigaction stop {};
    stop.sa_handler = SIG_DFL;
    sigemptyset(&stop.sa_mask);
    struct sigaction mine {};
    sigaction(signal, &stop, &mine);
    sigset_t just;
    sigemptyset(&just);
    sigaddset(&just, signal);
    sigprocmask(SIG_UNBLOCK, &just, nullptr);
    raise(signal);  // stopped here until SIGCONT
    sigaction(signal, &mine, nullptr);
    errno = saved;
}

extern "C" void note_resize(int) {
    g_line.resized = 1;
}

// Installs handler for signal unless it was ignored when the run started; the handler it had
// goes to before.
void take_signal(int signal, void (*handler)(int), struct sigaction& before) {
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    if (sigaction(signal, nullptr, &before) == 0 && before.sa_handler != SIG_IGN) {
        sigaction(signal, &action, nullptr);
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
    g_line.fd = fd_;
    g_line.eraser = eraser_.data();
    take_signal(SIGTSTP, erase_and_stop, stop_before_);
    take_signal(SIGWINCH, note_resize, resize_before_);
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
    if (g_line.erased != 0) {
        g_line.erased = 0;
        forget_line();  // a stop took it away
    }
    if (g_line.resized != 0) {
        g_line.resized = 0;
        erase();  // the widest line drawn, over as many rows as it now takes
    }
    const auto now = Clock::now();
    if (now - start_ < kQuiet || (drawn_ && now - drawn_at_ < kBetween)) {
        return;
    }
    drawn_at_ = now;
    drawn_ = true;
    draw();
}

// One column short of the width, so that it never wraps, over what is left of a longer line
// drawn before it as far as the width goes, and the cursor back at its start: a character the
// terminal echoes (^C, ^Z) then lands inside the line, and a terminal made narrower that flows
// the line onto more rows keeps the cursor at the first, so that the eraser, as wide as the
// widest line drawn, blanks every row of it.
void StatusLine::draw() {
    if (!in_foreground(fd_)) {
        return;
    }
    const std::size_t columns = columns_of(fd_);
    const double seconds = std::chrono::duration<double>(drawn_at_ - start_).count();
    const std::string line = format_line(position_, size_, seconds, active_, dumped_, unreadable_);
    const std::string text = line.substr(0, columns - 1);
    std::string out = "\r" + text;
    if (text.size() < std::min(shown_, columns)) {
        out.append(std::min(shown_, columns) - text.size(), ' ');
    }
    out += '\r';
    shown_ = std::max(shown_, text.size());
    g_line.n = 0;  // the eraser is rewritten
    eraser_[0] = '\r';
    std::memset(eraser_.data() + 1, ' ', shown_);
    eraser_[shown_ + 1] = '\r';
    g_line.n = static_cast<std::sig_atomic_t>(shown_ + 2);
    write_on_fatal_signal(fd_, eraser_.data(), shown_ + 2);
    write_all_of(fd_, out.data(), out.size());
}

void StatusLine::erase() {
    if (shown_ == 0) {
        return;
    }
    if (in_foreground(fd_)) {
        write_all_of(fd_, eraser_.data(), shown_ + 2);
    }
    forget_line();
}

void StatusLine::forget_line() {
    g_line.n = 0;
    write_on_fatal_signal(fd_, nullptr, 0);
    shown_ = 0;
}

void StatusLine::finish() {
    if (!on_) {
        return;
    }
    erase();
    on_ = false;
    sigaction(SIGTSTP, &stop_before_, nullptr);
    sigaction(SIGWINCH, &resize_before_, nullptr);
}

}  // namespace datmend
