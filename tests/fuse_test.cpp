// Salvage through a real filesystem whose reads fail where a failing disk's would: a FUSE mount
// that fails every read reaching chosen byte ranges with EIO. Skipped, with the reason, where
// FUSE cannot be used; DATMEND_REQUIRE_SYSTEM_TESTS=1 makes that a failure instead.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>

#include "driver/status_line.hpp"
#include "support.hpp"

extern char** environ;

using namespace testkit;
using namespace std::chrono_literals;

namespace {

class FailingDisk : public FilesTest {
  protected:
    // Mounts a filesystem at mnt showing the folder disk, with reads of ranges failing;
    // "" when mounted, else why not.
    std::string mount(const std::string& ranges, int delay_ms = 0, const std::string& log = "") {
#ifndef FAULTYFS_BINARY
        (void)ranges;
        (void)delay_ms;
        (void)log;
        return "libfuse3 (Debian: fuse3 and libfuse3-dev) was not found when the tests were built";
#else
        const int fuse = open("/dev/fuse", O_RDWR);
        if (fuse < 0) {
            return std::string("/dev/fuse: ") + std::strerror(errno);
        }
        close(fuse);
        fs::create_directory(mnt);
        std::vector<std::string> args{FAULTYFS_BINARY, disk.path().string(), ranges, mnt,
                                      std::to_string(delay_ms)};
        if (!log.empty()) {
            args.push_back(log);
        }
        const std::vector<char*> argv = argv_of(args);
        pid_t pid = 0;
        int status = -1;
        // faultyfs returns once the filesystem is mounted, leaving its daemon to serve it.
        if (posix_spawn(&pid, FAULTYFS_BINARY, nullptr, nullptr, argv.data(), environ) != 0 ||
            waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            return "faultyfs could not mount (FUSE needs root or the fuse group)";
        }
        mounted = true;
        return "";
#endif
    }

    void TearDown() override {
        if (mounted) {
            umount2(mnt.c_str(), MNT_DETACH);
        }
    }

    // Mounts as mount() does; where FUSE cannot be used, the test is skipped or fails, and
    // false is returned.
    bool mount_or_skip(const std::string& ranges, int delay_ms = 0, const std::string& log = "") {
        const std::string why = mount(ranges, delay_ms, log);
        if (!why.empty()) {
            require_or_skip("FUSE: " + why);
        }
        return why.empty();
    }

    ScratchDir disk;
    std::string mnt = dir.file("mnt");
    std::string on_disk = mnt + "/old.dat";
    bool mounted = false;
};

// The byte ranges of these sectors, cut at eof, as faultyfs takes them, and their flags.
std::string sector_ranges(const std::vector<std::uint32_t>& sectors, std::size_t eof,
                          std::vector<bool>& flags) {
    std::string ranges;
    flags.assign(eof, false);
    for (std::uint32_t s : sectors) {
        const std::size_t last = std::min<std::size_t>(s * 512 + 511, eof - 1);
        if (!ranges.empty()) {
            ranges += ',';
        }
        ranges += std::to_string(s * 512);
        ranges += '-';
        ranges += std::to_string(last);
        std::fill(flags.begin() + s * 512, flags.begin() + static_cast<std::ptrdiff_t>(last + 1),
                  true);
    }
    return ranges;
}

TEST_F(FailingDisk, UnreadableSectorsCostOnlyTheRecordsTheyTouch) {
    std::vector<Record> records;
    for (std::size_t i = 0; records.size() * 90 < 300000; ++i) {
        std::string s = "customer " + std::to_string(i) + " ";
        s.resize(30 + (i * 53) % 120, static_cast<char>('A' + i % 26));
        records.push_back(make_record(0, text(s)));
    }
    const LaidOut laid = lay_out(records);
    const std::size_t eof = laid.file.size();
    ASSERT_NE(eof % 512, 0u);
    const auto last = static_cast<std::uint32_t>(eof / 512);
    std::vector<bool> flags;
    const std::string ranges = sector_ranges({3, 100, 101, 102, 255, 256, last}, eof, flags);
    write_file(disk.file("old.dat"), laid.file);
    if (!mount_or_skip(ranges)) {
        return;
    }
    const Expected e = expect_unreadable(laid, flags);
    const auto r = run_tool({on_disk, new_dat});
    EXPECT_EQ(r.status, e.errors);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.out == banner(on_disk, new_dat) +
                             header_report(0, 0, 2, 0, static_cast<std::int32_t>(eof)) + e.body);
    EXPECT_EQ(read_file(new_dat), e.new_file);
}

// What a terminal shows after out: its lines, without the blanks at their ends. With a width,
// writing past it wraps to a new line, and the lines shown before are cut to it, as a terminal
// made narrower cuts them.
std::vector<std::string> screen(const std::string& out, std::size_t width = std::string::npos,
                                std::vector<std::string> lines = {""}) {
    for (std::string& line : lines) {
        line = line.substr(0, width);
    }
    std::size_t column = 0;
    for (const char c : out) {
        if (c == '\r' || c == '\n') {
            column = 0;
            if (c == '\n') {
                lines.emplace_back();
            }
        } else if (column == width) {
            lines.emplace_back(1, c);
            column = 1;
        } else if (column < lines.back().size()) {
            lines.back()[column++] = c;
        } else {
            lines.back() += c;
            ++column;
        }
    }
    for (std::string& line : lines) {
        line.erase(line.find_last_not_of(' ') + 1);
    }
    return lines;
}

// A pseudo-terminal for the tool's standard error, its output read as it comes.
class Terminal {
  public:
    Terminal() : master_(posix_openpt(O_RDWR | O_NOCTTY)) {
        if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) {
            line = open(ptsname(master_), O_RDWR | O_NOCTTY);
        }
        reader_ = std::thread([this] {
            char buf[4096];
            for (ssize_t n; (n = read(master_, buf, sizeof buf)) > 0;) {
                const std::lock_guard<std::mutex> lock(guard_);
                shown_.append(buf, static_cast<std::size_t>(n));
            }
        });
    }
    ~Terminal() { close_line(); }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    const char* name() const { return ptsname(master_); }
    // What it has shown from at on, so far.
    std::string shown_from(std::size_t at) {
        const std::lock_guard<std::mutex> lock(guard_);
        return shown_.substr(std::min(at, shown_.size()));
    }
    // Everything it has shown, once nobody writes to it any more.
    std::string close_line() {
        if (line >= 0) {
            close(line);
            line = -1;
            reader_.join();
            close(master_);
        }
        return shown_;
    }

    int line = -1;  // the terminal's side of the tool

  private:
    int master_;
    std::mutex guard_;
    std::string shown_;
    std::thread reader_;
};

// A salvage slow enough to say where it is, as a failing disk's is, with standard error on a
// terminal: the status line is drawn there and erased, leaving nothing; with the report on the
// same terminal, the terminal shows the report alone.
TEST_F(FailingDisk, ALongRunShowsWhereItIsOnATerminalAndLeavesNothingThere) {
    std::vector<Record> records;
    for (std::size_t i = 0; records.size() * 48 < (2u << 20); ++i) {
        Record r = make_record(0, text("customer " + std::to_string(i + 100000) + " of many"));
        r.trailer = i % 3 == 0 ? 1 : r.trailer;  // torn: a report of megabytes
        records.push_back(r);
    }
    const LaidOut laid = lay_out(records);
    std::vector<bool> flags;
    write_file(disk.file("old.dat"), laid.file);
    std::vector<std::uint32_t> bad;  // one in each of 7 windows from the second on
    for (std::uint32_t k = 1; k < 8; ++k) {
        bad.push_back(static_cast<std::uint32_t>(laid.file.size() / 512 * k / 8));
    }
    if (!mount_or_skip(sector_ranges(bad, laid.file.size(), flags), 150)) {
        return;
    }
    Terminal terminal;
    const int line = terminal.line;
    const auto shown_from = [&](std::size_t at) { return terminal.shown_from(at); };
    // Waits until the terminal shows a line of the run from at on, at least as long as wide.
    const auto wait_for_line = [&](std::size_t at, std::size_t wide) {
        for (int i = 0; i < 1000; ++i) {
            const std::string s = shown_from(at);
            const std::size_t copied = s.rfind(" copied ");
            if (copied != std::string::npos && s.size() - s.rfind('\r', copied) >= wide) {
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    };
    const auto set_width = [&](unsigned short columns) {
        const winsize size{24, columns, 0, 0};
        ioctl(line, TIOCSWINSZ, &size);
    };
    Stdio on_terminal;
    on_terminal.err_fd = line;
    const auto started = std::chrono::steady_clock::now();
    const auto r = run_tool({on_disk, new_dat}, on_terminal);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    const std::string alone = shown_from(0);
    EXPECT_NE(alone.find(" copied "), std::string::npos);
    EXPECT_EQ(screen(alone), std::vector<std::string>{""});
    EXPECT_LE(std::count(alone.begin(), alone.end(), '%'), 5 * took.count() + 1);  // a % a line
    // With the report on the same terminal, the terminal shows the report alone.
    on_terminal.out_fd = line;
    std::size_t at = alone.size();
    EXPECT_EQ(run_tool({on_disk, new_dat}, on_terminal).status, r.status);
    EXPECT_EQ(screen(shown_from(at)), screen(r.out));
    // Off a terminal, nothing at all.
    EXPECT_EQ(run_tool({on_disk, new_dat}).err, "");
    // A fatal signal takes the line with it; a terminal made narrower keeps no piece of it.
    at = shown_from(0).size();
    BackgroundRun killed({on_disk, new_dat}, line);
    wait_for_line(at, 1);
    killed.signal(SIGINT);
    EXPECT_EQ(killed.finish(), 128 + SIGINT);
    EXPECT_EQ(screen(shown_from(at)), std::vector<std::string>{""});
    set_width(120);
    at = shown_from(0).size();
    BackgroundRun narrowed({on_disk, new_dat}, line);
    wait_for_line(at, 60);
    const std::string wide = shown_from(at);
    set_width(40);
    narrowed.signal(SIGWINCH);
    EXPECT_EQ(narrowed.finish(), r.status);
    for (const std::string& row : screen(shown_from(at + wide.size()), 40, screen(wide))) {
        EXPECT_EQ(row, "");  // not a piece of a line, if a row more
    }
    // In the background of the terminal that is its own, the run draws nothing, so that a
    // terminal that stops what writes there from the background (stty tostop) does not stop it.
    const pid_t leader = fork();
    if (leader == 0) {
        setsid();
        const int own = open(terminal.name(), O_RDWR);  // the session's terminal
        termios modes{};
        tcgetattr(own, &modes);
        modes.c_lflag |= TOSTOP;
        tcsetattr(own, TCSANOW, &modes);
        const pid_t job = fork();
        if (job == 0) {
            setpgid(0, 0);  // a job of its own, not the foreground
            dup2(own, 2);
            dup2(open("/dev/null", O_WRONLY), 1);
            execl(DATMEND_BINARY, DATMEND_BINARY, on_disk.c_str(), "/dev/null", nullptr);
            _exit(127);
        }
        setpgid(job, job);
        int wstatus = 0;
        const bool stopped = waitpid(job, &wstatus, WUNTRACED) > 0 && WIFSTOPPED(wstatus);
        kill(job, SIGKILL);
        _exit(stopped ? 1 : 0);
    }
    int wstatus = -1;
    EXPECT_EQ(waitpid(leader, &wstatus, 0), leader);
    EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0) << wstatus;
}

// Told where the reading is a thousand times a second, the line is drawn at most five times a
// second, from the first second on.
TEST(StatusLine, IsDrawnAtMostFiveTimesASecond) {
    Terminal terminal;
    const auto started = std::chrono::steady_clock::now();
    {
        datmend::StatusLine status(terminal.line, 1u << 30, -1);
        for (std::uint32_t at = 0; std::chrono::steady_clock::now() - started < 2s; at += 1000) {
            status.reached(at);
            std::this_thread::sleep_for(1ms);
        }
    }
    const std::string shown = terminal.close_line();
    const auto lines = std::count(shown.begin(), shown.end(), '%');
    EXPECT_GE(lines, 3);
    EXPECT_LE(lines, 6);
}

// The standard advice followed: the failing file rescued with GNU ddrescue, and the copy salvaged
// with its map, gives what salvaging the original on the failing disk gives; also where the last
// sectors fail and the copy stops short, with fixed-length records and with variable-length ones.
TEST_F(FailingDisk, ACopyRescuedByDdrescueSalvagesWithItsMapAsTheOriginal) {
    std::vector<Record> records;
    for (std::size_t i = 0; records.size() * 90 < 200000; ++i) {
        std::string s = "order " + std::to_string(i) + " ";
        s.resize(i % 50 == 0 ? 1500 : 30 + (i * 53) % 120, static_cast<char>('A' + i % 26));
        records.push_back(make_record(i % 7 == 3 ? 1 : 0, text(s)));
    }
    DatFile fixed(1, 496);  // 51712 bytes
    DatFile variable;       // 45391 bytes, its last sector 335 bytes long
    for (std::size_t i = 0; i < 100; ++i) {
        fixed.add(make_record(i % 9 == 4 ? 1 : 0, Bytes(496, static_cast<std::uint8_t>(i))));
        variable.add(make_record(i % 9 == 4 ? 1 : 0, Bytes(300 + i * 7 % 301, 'v')));
    }
    ASSERT_EQ(variable.size(), 45391u);
    struct Case {
        Bytes file;
        std::string ranges;
        bool short_copy;
    };
    for (const Case& c : {Case{lay_out(records).file, "0-511,20480-21503,100100-100200", false},
                          Case{fixed.finish(), "20480-20991,50688-51711", true},
                          Case{variable.finish(), "44544-45390", true}}) {
        SCOPED_TRACE(c.ranges);
        write_file(disk.file("old.dat"), c.file);
        if (!mount_or_skip(c.ranges)) {
            return;
        }
        const std::string copy = dir.file("copy.dat");
        const std::string map = dir.file("copy.map");
        fs::remove(copy);
        fs::remove(map);
        if (std::system(("ddrescue -q " + on_disk + " " + copy + " " + map).c_str()) != 0) {
            return require_or_skip("GNU ddrescue (Debian: gddrescue) did not run");
        }
        const auto original = run_tool({on_disk, new_dat, del_dat});
        const std::string from_copy = dir.file("from-copy.dat");
        const std::string del_copy = dir.file("del-copy.dat");
        const auto rescued = run_tool({"-m", map, copy, from_copy, del_copy});
        EXPECT_EQ(rescued.status, original.status);
        EXPECT_EQ(rescued.err, "");
        EXPECT_EQ(rescued.out.substr(banner(copy, from_copy, del_copy).size()),
                  original.out.substr(banner(on_disk, new_dat, del_dat).size()));
        EXPECT_EQ(read_file(from_copy), read_file(new_dat));
        EXPECT_EQ(read_file(del_copy), read_file(del_dat));
        EXPECT_EQ(fs::file_size(copy) < c.file.size(), c.short_copy);
        EXPECT_NE(original.out.find("Unreadable Bytes Skipped = "), std::string::npos);
        umount2(mnt.c_str(), MNT_DETACH);
        mounted = false;
    }
}

// The retry recipe: the copy rescued by ddrescue salvaged with its map and -l, ddrescuelog turns
// the map of what was lost into a domain, and ddrescue tries there alone again, where two of the
// three failing sectors have healed: the retry reads nothing outside the domain, and the second
// salvage gets their records back, as a salvage of the disk as it is now does.
TEST_F(FailingDisk, TheLostMapAimsARetryAtTheLostRecordsAlone) {
    std::vector<Record> records;
    for (std::size_t i = 0; i < 300; ++i) {
        records.push_back(make_record(0, text("order " + std::to_string(i) + " of the ledger")));
    }
    const LaidOut laid = lay_out(records);
    write_file(disk.file("old.dat"), laid.file);
    std::vector<bool> flags;
    const auto sector = [&](std::size_t i) { return (laid.at[i] + 20) / 512; };
    if (!mount_or_skip(
            sector_ranges({sector(40), sector(150), sector(250)}, laid.file.size(), flags))) {
        return;
    }
    const std::string copy = dir.file("copy.dat"), map = dir.file("copy.map");
    const std::string lost = dir.file("lost.map"), retry = dir.file("retry.map");
    if (std::system(("ddrescue -q " + on_disk + " " + copy + " " + map).c_str()) != 0) {
        return require_or_skip("GNU ddrescue (Debian: gddrescue) did not run");
    }
    EXPECT_EQ(run_tool({"-m", map, "-l", lost, copy, new_dat}).status, 3);
    ASSERT_EQ(std::system(("ddrescuelog -n " + lost + " > " + retry).c_str()), 0);
    umount2(mnt.c_str(), MNT_DETACH);
    const std::string reads = dir.file("reads.log");
    ASSERT_TRUE(mount_or_skip(sector_ranges({sector(250)}, laid.file.size(), flags), 0, reads));
    ASSERT_EQ(std::system(
                  ("ddrescue -q -r1 -m " + retry + " " + on_disk + " " + copy + " " + map).c_str()),
              0);
    std::vector<Block> domain;
    for (const Block& b : read_map(retry)) {
        if (b.status == '+') {
            domain.push_back(b);
        }
    }
    EXPECT_EQ(domain.size(), 3u);
    std::ifstream log(reads);
    for (std::uint64_t at, n; log >> at >> n;) {
        EXPECT_TRUE(
            std::any_of(domain.begin(), domain.end(),
                        [&](const Block& b) { return b.pos <= at && at + n <= b.pos + b.size; }))
            << at << " " << n;
    }
    const std::string healed = dir.file("healed.dat");
    EXPECT_EQ(run_tool({"-m", map, copy, healed}).status, 1);
    EXPECT_EQ(run_tool({on_disk, new_dat}).status, 1);
    EXPECT_EQ(read_file(healed), read_file(new_dat));
}

// The header block on an unreadable sector: the records vouch for the file, or, where there is
// only one, the file is not taken for a data file and no output is touched.
TEST_F(FailingDisk, AnUnreadableFileHeaderIsRebuiltFromTheRecords) {
    const std::vector<Record> records{make_record(0, text("first")), make_record(1, text("gone")),
                                      make_record(0, text("second"))};
    DatFile f;
    for (const Record& r : records) {
        f.add(r);
    }
    write_file(disk.file("old.dat"), f.finish());
    write_file(disk.file("single.dat"), DatFile().active(text("record")).finish());
    if (!mount_or_skip("0-511")) {
        return;
    }
    auto r = run_tool({on_disk, new_dat});
    EXPECT_EQ(r.status, 1);
    const std::string opening = banner(on_disk, new_dat) +
                                "\n*** Unreadable File Header, Read Error! ***\n" +
                                "\n*** Damaged File Header, Rebuilt from the Records! ***\n";
    EXPECT_EQ(r.out.substr(0, opening.size()), opening);
    const Bytes fresh = read_file(new_dat);
    const Bytes expected = renumbered({records[0], records[2]});
    ASSERT_EQ(fresh.size(), expected.size());
    EXPECT_TRUE(std::equal(expected.begin() + 512, expected.end(), fresh.begin() + 512));
    EXPECT_EQ(le16_at(fresh, 2), 2u);

    write_file(new_dat, text("keep"));
    r = run_tool({mnt + "/single.dat", new_dat});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.out, "Bad File Header 0\n");
    EXPECT_EQ(read_file(new_dat), text("keep"));
}

}  // namespace
