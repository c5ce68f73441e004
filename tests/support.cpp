// Test support: scratch folders, running the binary, and printf-rendered expected texts.
#include "support.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <utility>

extern char** environ;

namespace testkit {

namespace {

std::string format(const char* fmt, auto... args) {
    const int n = std::snprintf(nullptr, 0, fmt, args...);
    std::string s(static_cast<std::size_t>(n), '\0');
    std::snprintf(s.data(), s.size() + 1, fmt, args...);
    return s;
}

std::string read_text(const std::string& path) {
    const Bytes b = read_file(path);
    return {b.begin(), b.end()};
}

}  // namespace

ScratchDir::ScratchDir(bool in_memory) {
    const fs::path base =
        in_memory && fs::is_directory("/dev/shm") ? "/dev/shm" : fs::temp_directory_path();
    std::string templ = (base / "datmend-test-XXXXXX").string();
    if (mkdtemp(templ.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = templ;
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
}

void require_or_skip(const std::string& why) {
    const char* required = std::getenv("DATMEND_REQUIRE_SYSTEM_TESTS");
    if (required != nullptr && std::string(required) == "1") {
        ADD_FAILURE() << "required: " << why;
    } else {
        GTEST_SKIP() << why;
    }
}

RunResult run_tool(const std::vector<std::string>& args, const Stdio& io) {
    ScratchDir capture;
    const std::string out_path = io.out.empty() ? capture.file("stdout") : io.out;
    const std::string err_path = capture.file("stderr");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (io.err_fd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, io.err_fd, 2);
    } else {
        posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT, 0600);
    }
    if (io.closed_in) {
        posix_spawn_file_actions_addclose(&actions, 0);
    } else {
        posix_spawn_file_actions_addopen(&actions, 0, io.in.c_str(), O_RDONLY, 0);
    }
    if (io.closed_out) {
        posix_spawn_file_actions_addclose(&actions, 1);
    } else if (io.out_fd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, io.out_fd, 1);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT, 0600);
    }
    if (!io.cwd.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, io.cwd.c_str());
    }

    std::vector<std::string> argv_strings = io.command;
    if (argv_strings.empty()) {
        argv_strings.push_back(DATMEND_BINARY);
    }
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    const std::vector<char*> argv = argv_of(argv_strings);

    pid_t pid = 0;
    RunResult r;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
        int wstatus = 0;
        waitpid(pid, &wstatus, 0);
        r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    }
    posix_spawn_file_actions_destroy(&actions);
    if (io.out.empty() && io.out_fd < 0 && !io.closed_out) {
        r.out = read_text(out_path);
    }
    r.err = io.err_fd >= 0 ? "" : read_text(err_path);
    return r;
}

BackgroundRun::BackgroundRun(const std::vector<std::string>& args, int err_fd) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (err_fd >= 0) {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, err_fd, 2);
    } else {
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    }
    std::vector<std::string> argv_strings{DATMEND_BINARY};
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    const std::vector<char*> argv = argv_of(argv_strings);
    if (posix_spawn(&pid_, DATMEND_BINARY, &actions, nullptr, argv.data(), environ) != 0) {
        pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    out_ = fds[0];
}

BackgroundRun::~BackgroundRun() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    close(out_);
}

void BackgroundRun::signal(int signal) const {
    ::kill(pid_, signal);
}

int BackgroundRun::finish() {
    char buf[65536];
    while (read(out_, buf, sizeof buf) > 0) {
    }
    int wstatus = 0;
    const pid_t pid = std::exchange(pid_, -1);
    if (pid <= 0 || waitpid(pid, &wstatus, 0) != pid) {
        return -1;
    }
    return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
}

std::vector<std::string> temporaries_in(const std::string& dir) {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name[0] == '.' && name.find(".datmend-") != std::string::npos) {
            found.push_back(name);
        }
    }
    return found;
}

bool wait_for_temporary(const std::string& dir) {
    for (int i = 0; i < 1000; ++i) {
        if (!temporaries_in(dir).empty()) {
            return true;
        }
        usleep(10000);
    }
    return false;
}

std::string banner(const std::string& old_name, const std::string& new_name,
                   const std::string& deleted_name) {
    std::string s = "VARQ Datmend Utility:\n";
    s += format("%28s = %s\n", "Input Filename", old_name.c_str());
    s += format("%28s = %s\n", "Output Filename", new_name.c_str());
    if (!deleted_name.empty()) {
        s += format("%28s = %s\n", "Deleted Records Filename", deleted_name.c_str());
    }
    return s;
}

std::string header_report(std::uint16_t organization, std::int32_t record_length,
                          std::int16_t version, std::int32_t freelist, std::int32_t eof) {
    const bool fixed = (organization & 1) && organization < 4;
    std::string s = "\nFile Header Information:\n";
    s += format("%28s = %d ( %s Length Records )\n", "File Organization", organization,
                fixed ? "Fixed" : "Variable");
    s += fixed ? format("%28s = %d\n", "Record Length", record_length)
               : format("%28s = (var)\n", "Record Length");
    s += format("%28s = %d\n", "Tavrel Version", version);
    s += format("%28s = %d\n", "Freelist Starting Address", freelist);
    s += format("%28s = %d\n", "End of File Address", eof);
    return s;
}

std::string eof_warning(std::uint32_t physical_eof) {
    return "\n*** WARNING *** The Physical EOF does not match the file Header!\n" +
           format("                  (Physical End of File is at %d)\n", physical_eof);
}

std::string dump_text(const Bytes& file, std::uint32_t first, std::uint32_t last,
                      const std::vector<bool>& unreadable) {
    const std::uint32_t count = last - first + 1;
    std::string s =
        format("\n*** %d Bytes starting at offset %d not written to new file ***\n", count, first);
    for (std::uint32_t i = 0; i < count; i += 16) {
        std::uint8_t bytes[16] = {};
        std::uint8_t lost[16] = {};
        const std::uint32_t n = std::min<std::uint32_t>(16, count - i);
        for (std::uint32_t k = 0; k < n; ++k) {
            const std::size_t b = first + i + k;
            bytes[k] = file.at(b);
            lost[k] = b < unreadable.size() && unreadable[b] ? 1 : 0;
        }
        s += dump_row(bytes, lost, n, i);
    }
    return s;
}

std::string summary(int active, int deleted, int overhead, int errors, int new_eof, int reduction,
                    bool deleted_file, int unreadable, int repaired) {
    std::string s = "\nDatmend Completion Information:\n";
    s += format("%28s = %d\n", "Active Records Copied ", active);
    s += format("%28s = %d\n", deleted_file ? "Deleted Records Copied " : "Deleted Records Removed",
                deleted);
    s += format("%28s = %d\n", "Overhead Records Removed", overhead);
    s += format("%28s = %d\n", "File Errors Found", errors);
    if (repaired != 0) {
        s += format("%28s = %d\n", "Records Repaired", repaired);
    }
    if (unreadable != 0) {
        s += format("%28s = %d\n", "Unreadable Bytes Skipped", unreadable);
    }
    s += format("%28s = %d\n", "New Eof Seek Location", new_eof);
    s += format("%28s = %d bytes\n", "Space Allocation Reduction", reduction);
    s += "\n*** You MUST create a new '.key' file that matches your new '.dat' file!\n";
    return s;
}

}  // namespace testkit

namespace testkit {

Bytes renumbered(const std::vector<Record>& records, std::uint16_t organization,
                 std::uint32_t record_length) {
    DatFile f(organization, record_length);
    std::uint32_t ordinal = 0;
    for (Record r : records) {
        r.ordinal = ordinal++;
        f.add(r);
    }
    return f.finish();
}

LaidOut lay_out(const std::vector<Record>& records) {
    DatFile f;
    LaidOut laid;
    for (const Record& r : records) {
        laid.at.push_back(static_cast<std::uint32_t>(f.size()));
        f.add(r);
    }
    laid.file = f.finish();
    laid.records = records;
    return laid;
}

Expected expect_unreadable(const LaidOut& laid, const std::vector<bool>& unreadable) {
    const auto eof = static_cast<std::uint32_t>(laid.file.size());
    auto touched = [&](std::size_t i) {
        const std::uint32_t end = i + 1 < laid.at.size() ? laid.at[i + 1] : eof;
        for (std::uint32_t b = laid.at[i]; b < end; ++b) {
            if (b < unreadable.size() && unreadable[b]) {
                return true;
            }
        }
        return false;
    };
    auto torn = [&](std::size_t i) {
        const Record& r = laid.records[i];
        return r.trailer && *r.trailer != r.data.size();
    };
    Expected e;
    std::vector<Record> kept;
    for (std::size_t i = 0; i < laid.records.size();) {
        if (!touched(i) && !torn(i)) {
            kept.push_back(laid.records[i++]);
            continue;
        }
        const std::uint32_t first = laid.at[i];
        e.body += touched(i) ? "\n*** Unreadable Record, Read Error! ***\n" +
                                   format("    Offset = %d\n", first)
                             : "\n*** Currupt Data, Header does not match Trailer! ***\n" +
                                   format("    Offset = %d, Header Len = %d, Trailer Len = %d\n",
                                          first, static_cast<int>(laid.records[i].data.size()),
                                          static_cast<int>(*laid.records[i].trailer));
        while (i < laid.records.size() && (touched(i) || torn(i))) {
            ++i;
        }
        const std::uint32_t next = i < laid.at.size() ? laid.at[i] : eof;
        e.body += dump_text(laid.file, first, next - 1, unreadable);
        ++e.errors;
    }
    e.new_file = renumbered(kept);
    const auto new_eof = static_cast<int>(e.new_file.size());
    const auto lost = static_cast<int>(std::count(unreadable.begin(), unreadable.end(), true));
    e.body += summary(static_cast<int>(kept.size()), 0, 0, e.errors, new_eof,
                      static_cast<int>(eof) - new_eof, false, lost);
    return e;
}

}  // namespace testkit
