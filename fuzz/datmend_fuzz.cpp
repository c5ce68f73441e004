// libFuzzer target: every input is a damaged data file, salvaged in-process in a memory-backed
// scratch folder; a broken salvage property or a leaked descriptor aborts.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "invariants.hpp"

namespace {

std::string scratch;
int lowest_free_fd = -1;

// The lowest free descriptor: it moves up when a run leaves a file open.
int probe_fd() {
    const int fd = open("/dev/null", O_RDONLY);
    close(fd);
    return fd;
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
    lowest_free_fd = probe_fd();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string why = testkit::check_salvage(data, size, scratch);
    if (!why.empty()) {
        std::fprintf(stderr, "salvage property broken: %s\n", why.c_str());
        std::abort();
    }
    if (probe_fd() != lowest_free_fd) {
        std::fprintf(stderr, "a file was left open\n");
        std::abort();
    }
    return 0;
}
