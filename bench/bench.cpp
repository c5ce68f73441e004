// datmend_bench: times the built datmend on generated workloads against the cost of copying
// the same file (cp) and, for a damaged stretch, of hex-dumping it (xxd), and prints a table.
// W6 is W1 on a failing disk: the tool runs in a child process whose reads of one sector in
// every 4 MiB fail, through the damaged file's read seam.
//   datmend_bench [MiB]      default 256
// Exit status 0, or 1 when a command fails to start.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "driver/entry.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Timing {
    double seconds = 0;
    long peak_kib = 0;
    bool ok = false;  // exited with status 0
};

// Runs argv with standard output to /dev/null; wall time and peak resident memory of the child.
Timing run(const std::vector<std::string>& args) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (auto& a : copy) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        std::fprintf(stderr, "cannot run %s\n", argv[0]);
        std::exit(1);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const auto end = std::chrono::steady_clock::now();
    posix_spawn_file_actions_destroy(&actions);
    return {std::chrono::duration<double>(end - start).count(), usage.ru_maxrss,
            WIFEXITED(status) && WEXITSTATUS(status) == 0};
}

// One unreadable sector in every 4 MiB, as W6's disk has.
bool on_bad_sector(std::uint64_t sector) {
    return sector % 8192 == 4000;
}

// A read that fails as W6's disk does: what lies before the first bad sector, else EIO.
ssize_t failing_read(int fd, void* buf, std::size_t n, off_t offset) {
    const auto first = static_cast<std::uint64_t>(offset);
    for (std::uint64_t s = first / 512; s * 512 < first + n; ++s) {
        if (on_bad_sector(s)) {
            if (s * 512 <= first) {
                errno = EIO;
                return -1;
            }
            n = s * 512 - first;
            break;
        }
    }
    return pread(fd, buf, n, offset);
}

// Runs the tool in a child process on a failing disk; the same measures as run().
Timing run_on_failing_disk(std::vector<std::string> args) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        datmend::RunState state;
        state.salvage.damaged.set_read_function(failing_read);
        const int status = datmend::run_datmend(state, static_cast<int>(args.size()), argv.data());
        std::fflush(stdout);
        _exit(status);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const auto end = std::chrono::steady_clock::now();
    return {std::chrono::duration<double>(end - start).count(), usage.ru_maxrss, WIFEXITED(status)};
}

constexpr int kRounds = 3;

// The median time of a command's runs; peak memory is the largest seen.
Timing median(std::vector<Timing> t) {
    std::sort(t.begin(), t.end(), [](auto& a, auto& b) { return a.seconds < b.seconds; });
    long peak = 0;
    for (auto& x : t) {
        peak = std::max(peak, x.peak_kib);
    }
    return {t[t.size() / 2].seconds, peak, t[t.size() / 2].ok};
}

}  // namespace

int main(int argc, char* argv[]) {
    const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
    const std::size_t size = mib << 20;
    const fs::path dir = fs::temp_directory_path() / ("datmend-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string old_dat = (dir / "old.dat").string();
    const std::string stretch = (dir / "stretch.bin").string();

    std::printf("%-4s %10s %10s %7s %10s   (%zu MiB each; seconds, median of 3)\n", "work",
                "datmend", "floor", "ratio", "peak RSS", mib);
    for (const std::string name : {"W1", "W2", "W3", "W4", "W5", "W6"}) {
        const bool failing_disk = name == "W6";
        // Made by another process: a child's peak memory counts its parent's peak until exec.
        const std::string bytes = std::to_string(size);
        run({DATGEN_BINARY, "workload", failing_disk ? "W1" : name, bytes, old_dat});
        const bool has_stretch = run({DATGEN_BINARY, "stretch", name, bytes, stretch}).ok;
        // Write the new files back first, so that their writeback does not fall on one timing.
        run({"sync"});
        // The commands take turns, so that a disturbance of the machine falls on all alike.
        std::vector<Timing> tool_runs, cp_runs, xxd_runs;
        for (int round = 0; round < kRounds; ++round) {
            const std::vector<std::string> tool{DATMEND_BINARY, old_dat, (dir / "new.dat").string(),
                                                (dir / "del.dat").string()};
            tool_runs.push_back(failing_disk ? run_on_failing_disk(tool) : run(tool));
            cp_runs.push_back(run({"cp", old_dat, (dir / "copy.dat").string()}));
            if (has_stretch) {
                xxd_runs.push_back(run({"xxd", stretch}));
            }
        }
        const Timing tool = median(tool_runs);
        const double floor =
            median(cp_runs).seconds + (has_stretch ? median(xxd_runs).seconds : 0.0);
        std::printf("%-4s %10.3f %10.3f %7.2f %7ld MiB\n", name.c_str(), tool.seconds, floor,
                    tool.seconds / floor, tool.peak_kib / 1024);
        std::fflush(stdout);
    }
    fs::remove_all(dir);
    return 0;
}
