// libFuzzer target: every input is a recipe for a damaged data file on a failing disk. It is
// expanded into a file of up to a few MiB in a memory-backed scratch folder, so that every run
// crosses read windows, and salvaged in-process through the disk's faults, without -r and with
// it; a broken salvage property or a descriptor left open on one of the run's files aborts.
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "faulty_disk.hpp"
#include "invariants.hpp"
#include "recipe.hpp"

namespace {

std::string scratch;

// A descriptor still open on a file of the scratch folder or on a report, or "" when none is.
// (libFuzzer's own threads may open other files at any moment.)
std::string open_run_file() {
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        const std::string target = std::filesystem::read_symlink(entry.path(), ec).string();
        if (target.starts_with(scratch) || target.starts_with("/memfd:report")) {
            return target;
        }
    }
    return "";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char templ[] = "/dev/shm/datmend-fuzz-XXXXXX";
    if (mkdtemp(templ) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    scratch = templ;
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(scratch, ec);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const datgen::Recipe recipe = datgen::parse_recipe(data, size);
    const auto expanded = datgen::expand_recipe(recipe, scratch + "/old.dat");
    if (!expanded) {
        std::perror("writing the damaged file");
        std::abort();
    }
    testkit::FaultyDisk disk;
    disk.bad_sectors = expanded->bad_sectors;
    disk.size = expanded->shrinks_to;
    std::string why = testkit::check_salvage(
        scratch, &disk, testkit::every_active_record(*expanded, scratch + "/old.dat"));
    if (why.empty()) {
        disk.forget();
        why = testkit::check_repair(scratch, &disk);
    }
    if (!why.empty()) {
        std::fprintf(stderr, "salvage property broken: %s\n", why.c_str());
        std::abort();
    }
    if (const std::string file = open_run_file(); !file.empty()) {
        std::fprintf(stderr, "a file was left open: %s\n", file.c_str());
        std::abort();
    }
    return 0;
}
