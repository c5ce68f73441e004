// Each finding counted, then handed to each sink in turn.
#include "driver/sinks.hpp"

namespace datmend {

void Sinks::header(const HeaderJudgement& judgement) {
    before_report();
    report_.header(judgement);
    tell_others([&](Findings& f) { f.header(judgement); });
}

void Sinks::records(const RecordRun& run) {
    counted_.active += run.active;
    counted_.deleted += run.deleted;
    counted_.overhead += run.overhead;
    if (line_) {
        status_.records(run);
    }
    tell_others([&](Findings& f) { f.records(run); });
}

void Sinks::discarded(const Stretch& stretch) {
    ++counted_.error_count;
    before_report();
    report_.discarded(stretch);
    // Counted once the dump has read the stretch: a sector read well before may fail now.
    if (stretch.first >= kHeaderBlockSize) {
        counted_.unreadable_bytes += file_.unreadable_in(stretch.first, stretch.last + 1);
    }
    if (line_) {
        status_.discarded(stretch);
    }
    tell_others([&](Findings& f) { f.discarded(stretch); });
}

void Sinks::repaired(const RepairedRecord& record) {
    ++counted_.error_count;
    ++counted_.repaired;
    before_report();
    report_.repaired(record);
    if (line_) {
        status_.repaired(record);
    }
    tell_others([&](Findings& f) { f.repaired(record); });
}

void Sinks::reached(std::uint32_t offset) {
    if (line_) {
        status_.reached(offset);
    }
    tell_others([&](Findings& f) { f.reached(offset); });
}

void Sinks::finish_status_line() {
    status_.finish();
    line_ = false;
}

}  // namespace datmend
