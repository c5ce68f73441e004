// Test support: a scratch folder per test, running the built tool on real files, and the
// report's texts rendered independently of the tool, with printf, as the oracle.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "builder.hpp"
#include "invariants.hpp"

namespace testkit {

using namespace datbuild;
namespace fs = std::filesystem;

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

// A fresh folder, removed with everything in it when the object goes. In memory where the
// machine has /dev/shm, for the tests that salvage thousands of files: every completed run syncs
// its outputs, which costs nothing there.
class ScratchDir {
  public:
    explicit ScratchDir(bool in_memory = false);
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const fs::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

  private:
    fs::path path_;
};

// A test with a scratch folder and the three file names of a run in it.
class FilesTest : public ::testing::Test {
  protected:
    ScratchDir dir;
    std::string old_dat = dir.file("old.dat");
    std::string new_dat = dir.file("new.dat");
    std::string del_dat = dir.file("del.dat");
};

// How the tool is started: standard input from in (or closed), standard output captured unless
// it is given as a file name or a descriptor (or closed), in the folder cwd when one is given.
struct Stdio {
    std::string in = "/dev/null";
    std::string out;
    int out_fd = -1;
    int err_fd = -1;  // standard error on this descriptor, not captured
    bool closed_in = false;
    bool closed_out = false;
    std::string cwd;
    // The command the tool is run under, the tool's path its last word (setpriv, sh -c ...);
    // empty to run the built tool itself.
    std::vector<std::string> command;
};

// Where a test cannot run on this machine: a failure when DATMEND_REQUIRE_SYSTEM_TESTS=1 (as CI
// sets it), else a skip, both saying why. The caller returns at once.
void require_or_skip(const std::string& why);

// Runs the built datmend with these arguments (no shell).
RunResult run_tool(const std::vector<std::string>& args, const Stdio& io = {});

// The built datmend started in the background with these arguments, its standard output a pipe
// that nobody reads until drain(): a report larger than the pipe and the tool's buffer stops it
// in the middle of its walk.
class BackgroundRun {
  public:
    // With err_fd, standard error goes there and standard output to /dev/null instead.
    explicit BackgroundRun(const std::vector<std::string>& args, int err_fd = -1);
    pid_t pid() const { return pid_; }
    ~BackgroundRun();
    BackgroundRun(const BackgroundRun&) = delete;
    BackgroundRun& operator=(const BackgroundRun&) = delete;
    void signal(int signal) const;
    // Reads standard output to its end and returns the exit status, 128 + the signal's number
    // for a process a signal ended.
    int finish();

  private:
    int pid_ = -1;
    int out_ = -1;
};

// Waits, up to ten seconds, until a temporary file of the tool's is in dir; false if none came.
bool wait_for_temporary(const std::string& dir);
// The temporary files of the tool's left in dir.
std::vector<std::string> temporaries_in(const std::string& dir);

// The report's pieces, as the tool must print them.
std::string banner(const std::string& old_name, const std::string& new_name,
                   const std::string& deleted_name = "");
std::string header_report(std::uint16_t organization, std::int32_t record_length,
                          std::int16_t version, std::int32_t freelist, std::int32_t eof);
std::string eof_warning(std::uint32_t physical_eof);
// unreadable flags the file's bytes that a failing disk cannot deliver; empty when none.
std::string dump_text(const Bytes& file, std::uint32_t first, std::uint32_t last,
                      const std::vector<bool>& unreadable = {});
std::string summary(int active, int deleted, int overhead, int errors, int new_eof, int reduction,
                    bool deleted_file, int unreadable = 0, int repaired = 0);

// The new file holding these records, renumbered from 0, as a clean salvage writes it.
Bytes renumbered(const std::vector<Record>& records, std::uint16_t organization = 0,
                 std::uint32_t record_length = 0);

// A file of active records laid end to end after the header block, with where each one starts.
struct LaidOut {
    Bytes file;
    std::vector<std::uint32_t> at;
    std::vector<Record> records;
};
LaidOut lay_out(const std::vector<Record>& records);

// What a salvage of laid must print after the header report, and the new file it must write,
// when the bytes flagged in unreadable cannot be read and the records hold nothing
// record-shaped: each run of records that an unreadable byte touches or whose trailer is wrong
// is one diagnosis, of the first of them, and one dump up to the next sound record.
struct Expected {
    std::string body;
    Bytes new_file;
    int errors = 0;  // the dumps, and so the exit status
};
Expected expect_unreadable(const LaidOut& laid, const std::vector<bool>& unreadable);

}  // namespace testkit
