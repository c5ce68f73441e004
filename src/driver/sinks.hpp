// The sinks of one run's findings, chosen at its start: the report, the status line where it is
// on, the lost map where one is asked for, and one more the caller may add (the tests'
// accounting); and the run's own count of what was found, for the summary and the exit status.
// Findings reach each sink in file order.
#pragma once

#include "driver/status_line.hpp"
#include "report/report.hpp"
#include "salvage/findings.hpp"

namespace datmend {

class Sinks final : public Findings {
  public:
    // The sinks of a salvage of file.
    Sinks(const DamagedFile& file, Report& report, StatusLine& status, Findings* lost_map,
          Findings* also)
        : file_(file),
          report_(report),
          status_(status),
          line_(status.on()),
          lost_map_(lost_map),
          also_(also) {}

    void header(const HeaderJudgement& judgement) override;
    void records(const RecordRun& run) override;
    void discarded(const Stretch& stretch) override;
    void repaired(const RepairedRecord& record) override;
    void reached(std::uint32_t offset) override;

    // The status line erased for good, before anything else is written to standard error and
    // before the run ends.
    void finish_status_line();

    // What was found, for the summary: the unreadable bytes of the stretches after the header
    // block among it, so that every unreadable byte the summary counts lies in a dump; the sizes,
    // and the header block's unreadable bytes, are the caller's.
    const Results& counted() const { return counted_; }

  private:
    // Each of the sinks that may be absent.
    template <typename Tell>
    void tell_others(Tell&& tell) {
        if (lost_map_ != nullptr) {
            tell(*lost_map_);
        }
        if (also_ != nullptr) {
            tell(*also_);
        }
    }

    // The status line is taken away before the report writes to the terminal it is on.
    void before_report() {
        if (line_ && status_.shares_terminal()) {
            status_.erase();
        }
    }

    const DamagedFile& file_;
    Report& report_;
    StatusLine& status_;
    bool line_;  // the status line is on
    Findings* lost_map_;
    Findings* also_;
    Results counted_;
};

}  // namespace datmend
