// The report on standard output, one sink of the findings: the banner, the header report, a
// diagnosis and a hex dump for every discarded stretch, a repaired record's lines, and the
// completion summary, byte for byte as the tool has always printed them. Writes go to one
// checked Writer, whose first failure the driver reports.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "io/writer.hpp"
#include "report/dump.hpp"
#include "salvage/damaged_file.hpp"
#include "salvage/findings.hpp"
#include "salvage/header_judgement.hpp"

namespace datmend {

// The files the banner names, as given on the command line, and how the report is to show what
// the salvage did.
struct Banner {
    std::string old_file;
    std::optional<std::string> new_file;      // given but for a dry run
    std::optional<std::string> deleted_file;  // given as a third name
    DumpRows rows = DumpRows::all;            // -s squeezes the dumps, -q leaves their rows out
    bool dry_run = false;                     // the last line says that no file was written
};

// What the completion summary tells.
struct Results {
    std::uint32_t active = 0;  // records copied
    std::uint32_t deleted = 0;
    std::uint32_t overhead = 0;
    std::uint32_t error_count = 0;  // discarded stretches and repaired records
    std::uint32_t repaired = 0;
    std::uint64_t unreadable_bytes = 0;
    std::uint32_t physical_eof = 0;  // of the damaged file
    std::uint32_t new_eof = 0;       // the new file's size
};

class Report final : public Findings {
  public:
    // A report to out on the files names, dumping the bytes of file.
    Report(Writer& out, const Banner& names, DamagedFile& file)
        : out_(out), names_(names), file_(file) {}

    // "Bad File Header 0" where there is none; else the banner, the header report as read (or
    // that it could not be read), the failed check, and the end-of-file warning where the header
    // is used; for a rebuilt header, what it was rebuilt as (its 16 bytes come as a stretch).
    void header(const HeaderJudgement& judgement) override;
    void records(const RecordRun&) override {}
    // The diagnosis, then the stretch's line and its bytes.
    void discarded(const Stretch& stretch) override;
    // The repair's line, then its header and trailer as read, in rows labelled with their offsets.
    void repaired(const RepairedRecord& record) override;
    void reached(std::uint32_t) override {}

    // The completion information; the deleted records' label says whether a deleted-records file
    // was named.
    void summary(const Results& results);

  private:
    Writer& out_;
    const Banner& names_;
    DamagedFile& file_;
};

}  // namespace datmend
