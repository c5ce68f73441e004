// The damaged file of a test, opened as the tool opens it, with a report captured in memory and
// a damage log on it, for testing the salvage pieces in-process.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "format/layout.hpp"
#include "invariants.hpp"
#include "report/dump.hpp"
#include "report/report.hpp"
#include "salvage/damaged_file.hpp"
#include "support.hpp"

namespace testkit {

struct Harness {
    explicit Harness(const Bytes& file, std::uint16_t organization = 0,
                     std::uint32_t record_length = 0,
                     const datmend::DamagedFile::ReadFunction& read = {}) {
        write_file(dir.file("old.dat"), file);
        if (read) {
            damaged.set_read_function(read);
        }
        std::uint64_t size = 0;
        damaged.open(dir.file("old.dat").c_str());
        damaged.measure(size);
        rules = {static_cast<std::uint32_t>(size), (organization & 1) != 0, record_length};
        log.also = &printed;
    }
    ~Harness() { close(report_fd); }
    Harness(const Harness&) = delete;
    Harness& operator=(const Harness&) = delete;

    std::string output() {
        report.flush();
        return read_all(report_fd);
    }

    ScratchDir dir;
    int report_fd = memfd_create("report", 0);
    datmend::DamagedFile damaged;
    datmend::FrameRules rules;
    datmend::Writer report{datmend::kReportBufferSize, report_fd};
    datmend::Banner banner{"old.dat", "new.dat", std::nullopt};
    datmend::Report printed{report, banner, damaged};
    Accounting log;  // what the walk finds, counted, then printed as the report prints it
};

}  // namespace testkit
