// A salvage state over a real damaged file, with the report captured in memory, for testing the
// salvage pieces in-process.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "invariants.hpp"
#include "salvage/salvage_state.hpp"
#include "support.hpp"

namespace testkit {

class Harness {
  public:
    explicit Harness(const Bytes& file, std::uint16_t organization = 0,
                     std::int32_t record_length = 0) {
        write_file(dir.file("old.dat"), file);
        std::uint64_t size = 0;
        state.damaged.open(dir.file("old.dat").c_str());
        state.damaged.measure(size);
        state.physical_eof = static_cast<std::uint32_t>(size);
        state.file_header.organization = organization;
        state.file_header.record_length = record_length;
        state.report = datmend::Report(report_fd_);
    }
    ~Harness() { close(report_fd_); }
    Harness(const Harness&) = delete;
    Harness& operator=(const Harness&) = delete;

    std::string output() {
        state.report.flush();
        return read_all(report_fd_);
    }

    ScratchDir dir;
    datmend::SalvageState state;

  private:
    int report_fd_ = memfd_create("report", 0);
};

}  // namespace testkit
