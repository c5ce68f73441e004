// Test support: a scratch folder per test, running the built tool on real files, and the
// report's texts rendered independently of the tool, with printf, as the oracle.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "builder.hpp"

namespace testkit {

using namespace datbuild;
namespace fs = std::filesystem;

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

// A fresh folder, removed with everything in it when the object goes.
class ScratchDir {
  public:
    ScratchDir();
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

// Runs the built datmend with these arguments (no shell), standard input from stdin_path,
// in the folder cwd when one is given.
RunResult run_tool(const std::vector<std::string>& args,
                   const std::string& stdin_path = "/dev/null", const std::string& cwd = "");

// The report's pieces, as the tool must print them.
std::string banner(const std::string& old_name, const std::string& new_name,
                   const std::string& deleted_name = "");
std::string header_report(std::uint16_t organization, std::int32_t record_length,
                          std::int16_t version, std::int32_t freelist, std::int32_t eof);
std::string eof_warning(std::uint32_t physical_eof);
std::string dump_text(const Bytes& file, std::uint32_t first, std::uint32_t last);
std::string summary(int active, int deleted, int overhead, int errors, int new_eof, int reduction,
                    bool deleted_file);

}  // namespace testkit
