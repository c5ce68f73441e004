// datmend_bench: times the built datmend on generated workloads against the floor, the least a
// salvage must do: read every byte in 1 MiB chunks and write it out (datmend_floor). The two run
// in turns, and the ratio is the median of the pairs' ratios; W8 is paired in the same way with
// the tool on a W1 file. cp (which copies inside the kernel here) and xxd of a damaged stretch
// are reference columns. The files are in /dev/shm where there is one, and the report goes to
// /dev/null.
//   W1 clean variable-length records      W2 clean fixed-length, deleted and overhead records
//   W3 a quarter random bytes             W4 a quarter zero bytes
//   W5 a wrong trailer every 4 KiB        W6 W1 on a failing disk: one unreadable sector in
//   W7 every byte 0x01                       every 4 MiB, through the read seam, in a child
//   W8 20-byte records, each torn, with a 1-byte look-alike record 3 bytes in
//   W9 fixed-length 65,535-byte records, every trailer wrong
//   W10 W1 on a disk whose every other sector is unreadable: memory must not grow with the damage
//   datmend_bench [MiB [rounds [W...]]]      default 256 MiB, 15 rounds, every workload
// The tool runs as datmend OLD NEW; with DATMEND_BENCH_DELETED=1 in the environment, as
// datmend OLD NEW DELETED.
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

// Which sectors a failing disk cannot read: W6's one in every 4 MiB, W10's every other one.
bool on_bad_sector(std::uint64_t sector, bool every_other) {
    return every_other ? sector % 2 == 1 : sector % 8192 == 4000;
}

// A read that fails as the disk does: what lies before the first bad sector, else EIO.
ssize_t failing_read(int fd, void* buf, std::size_t n, off_t offset, bool every_other) {
    const auto first = static_cast<std::uint64_t>(offset);
    for (std::uint64_t s = first / 512; s * 512 < first + n; ++s) {
        if (on_bad_sector(s, every_other)) {
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
Timing run_on_failing_disk(std::vector<std::string> args, bool every_other) {
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
        datmend::Surroundings around;
        around.read = [every_other](int fd, void* buf, std::size_t n, off_t at) {
            return failing_read(fd, buf, n, at, every_other);
        };
        const int status = datmend::run_datmend(around, static_cast<int>(args.size()), argv.data());
        std::fflush(stdout);
        _exit(status);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const auto end = std::chrono::steady_clock::now();
    return {std::chrono::duration<double>(end - start).count(), usage.ru_maxrss, WIFEXITED(status)};
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char* argv[]) {
    const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 15;
    // DATMEND_BENCH_DELETED=1: the tool also writes a deleted-records file.
    const char* deleted = std::getenv("DATMEND_BENCH_DELETED");
    const bool with_deleted_file = deleted != nullptr && std::string(deleted) == "1";
    const std::size_t size = mib << 20;
    // In memory where the machine has it, so that the disk's speed does not hide the tool's.
    const fs::path base = fs::is_directory("/dev/shm") ? "/dev/shm" : fs::temp_directory_path();
    const fs::path dir = base / ("datmend-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string old_dat = (dir / "old.dat").string();
    const std::string new_dat = (dir / "new.dat").string();
    const std::string stretch = (dir / "stretch.bin").string();

    std::printf("%-4s %9s %9s %7s %9s %9s %9s   (%zu MiB each; seconds, median of %d)\n", "work",
                "datmend", "floor", "ratio", "cp", "xxd", "peak RSS", mib, rounds);
    std::vector<std::string> names{"W1", "W2", "W3", "W4", "W5", "W6", "W7", "W8", "W9", "W10"};
    if (argc > 3) {
        names.assign(argv + 3, argv + argc);
    }
    // W8 is held to W1's time: in its rounds the tool also runs on a W1 file, so that the two
    // are timed side by side and a slower spell of the machine falls on both.
    const std::string w1_dat = (dir / "w1.dat").string();
    if (std::find(names.begin(), names.end(), "W8") != names.end()) {
        run({DATGEN_BINARY, "workload", "W1", std::to_string(size), w1_dat});
    }
    std::vector<double> w8_to_w1;
    for (const std::string& name : names) {
        const bool failing_disk = name == "W6" || name == "W10";
        // Made by another process: a child's peak memory counts its parent's peak until exec.
        const std::string bytes = std::to_string(size);
        run({DATGEN_BINARY, "workload", failing_disk ? "W1" : name, bytes, old_dat});
        const bool has_stretch = run({DATGEN_BINARY, "stretch", name, bytes, stretch}).ok;
        // Write the new files back first, so that their writeback does not fall on one timing.
        run({"sync"});
        // The commands take turns, so that a disturbance of the machine falls on all alike.
        std::vector<double> tool, floor, ratio, cp, xxd;
        long peak = 0;
        // As most runs are made: the new file only. A deleted-records file adds its own writes.
        std::vector<std::string> args{DATMEND_BINARY, old_dat, new_dat};
        if (with_deleted_file) {
            args.push_back((dir / "del.dat").string());
        }
        // Every timed run starts with no output file. Opening one that is there truncates it,
        // and freeing the pages of what the run before wrote, up to 256 MiB, would be charged
        // to this run: the floor writes every byte, the tool only what it keeps.
        const auto clear_outputs = [&] {
            fs::remove(new_dat);
            fs::remove(dir / "del.dat");
        };
        for (int round = 0; round < rounds; ++round) {
            clear_outputs();
            const Timing t = failing_disk ? run_on_failing_disk(args, name == "W10") : run(args);
            clear_outputs();
            const Timing f = run({FLOOR_BINARY, old_dat, new_dat});
            tool.push_back(t.seconds);
            floor.push_back(f.seconds);
            ratio.push_back(t.seconds / f.seconds);
            peak = std::max(peak, t.peak_kib);
            fs::remove(dir / "copy.dat");
            cp.push_back(run({"cp", old_dat, (dir / "copy.dat").string()}).seconds);
            if (name == "W8") {
                clear_outputs();
                w8_to_w1.push_back(t.seconds / run({DATMEND_BINARY, w1_dat, new_dat}).seconds);
            }
            if (has_stretch) {
                xxd.push_back(run({"xxd", stretch}).seconds);
            }
        }
        std::printf("%-4s %9.3f %9.3f %7.2f %9.3f %9s %5ld MiB\n", name.c_str(), median(tool),
                    median(floor), median(ratio), median(cp),
                    has_stretch ? std::to_string(median(xxd)).substr(0, 5).c_str() : "-",
                    peak / 1024);
        std::fflush(stdout);
    }
    if (!w8_to_w1.empty()) {
        std::printf("W8 takes %.1f times as long as W1 (median of paired runs)\n",
                    median(w8_to_w1));
    }
    fs::remove_all(dir);
    return 0;
}
