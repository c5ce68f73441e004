// A damaged file header is judged by the records: a chain of records whose trailers match their
// lengths says more about the file than 16 bytes that contradict it. The first 16 records that a
// silent walk delivers, reading the file as variable-length, are the evidence.
#include "salvage/header_judgement.hpp"

#include <algorithm>
#include <array>

#include "salvage/walk.hpp"

namespace datmend {

namespace {

constexpr std::size_t kProbedRecords = 16;

// The first records of the file, read as variable-length: how many there are (up to 16), and the
// data lengths of the active and deleted ones; overhead records vary in length in any file.
struct Probe {
    std::size_t records = 0;
    std::size_t lengths = 0;
    std::array<std::uint32_t, kProbedRecords> length{};
};

// Of what a silent walk finds, how far it has read, for whoever shows where a run is.
class ProgressOnly final : public Findings {
  public:
    explicit ProgressOnly(Findings* progress) : progress_(progress) {}
    void header(const HeaderJudgement&) override {}
    void records(const RecordRun&) override {}
    void discarded(const Stretch&) override {}
    void repaired(const RepairedRecord&) override {}
    void reached(std::uint32_t offset) override {
        if (progress_ != nullptr) {
            progress_->reached(offset);
        }
    }

  private:
    Findings* progress_;
};

Probe probe_records(DamagedFile& file, Findings* progress) {
    Probe probe;
    ProgressOnly silent(progress);
    Walk walk(file, FrameRules{file.physical_eof(), false, 0}, kHeaderBlockSize, &silent);
    for (; probe.records < kProbedRecords && !walk.at_end(); ++probe.records) {
        const auto record = walk.next();
        if (!record) {
            break;
        }
        silent.reached(record->end());
        if (record->header.rec_type <= kDeletedRecord) {
            probe.length[probe.lengths++] = record->header.rec_length;
        }
    }
    return probe;
}

// A fixed-length header that no record agrees with takes the records' word for it: their
// length where they all have one, variable-length records where they differ. True when changed.
bool fit_record_length(FileHeader& h, const Probe& probe) {
    if (!is_fixed_length(h) || probe.lengths < 2) {
        return false;
    }
    const auto first = probe.length.begin();
    const auto last = first + static_cast<std::ptrdiff_t>(probe.lengths);
    if (std::find(first, last, static_cast<std::uint32_t>(h.record_length)) != last) {
        return false;
    }
    if (std::all_of(first, last, [&](std::uint32_t n) { return n == *first; })) {
        h.record_length = static_cast<std::int32_t>(*first);
    } else {
        h.organization &= static_cast<std::uint16_t>(~1u);
    }
    return true;
}

}  // namespace

HeaderJudgement judge_file_header(DamagedFile& file, Findings* progress) {
    HeaderJudgement j;
    const auto bytes = file.view(0, kFileHeaderSize);
    if (bytes.size() != kFileHeaderSize) {
        return j;
    }
    j.readable = file.readable(0, kFileHeaderSize);
    j.as_read = decode_file_header(bytes.data());
    j.header = j.as_read;
    FileHeader& h = j.header;
    if (j.readable && h.fm_version == kFileManagerVersion &&
        h.organization > kHighestOrganization) {
        j.verdict = HeaderVerdict::refused;  // another kind of file, not damage
        return j;
    }
    const bool damaged = !j.readable || h.fm_version != kFileManagerVersion;
    if (!damaged && !is_fixed_length(h)) {
        j.verdict = HeaderVerdict::whole;
        return j;
    }
    const Probe probe = probe_records(file, progress);
    if (damaged) {
        if (probe.records < 2) {
            j.header = j.as_read;
            j.verdict = j.readable ? HeaderVerdict::refused : HeaderVerdict::no_header;
            return j;
        }
        h.fm_version = kFileManagerVersion;
        // Variable-length: the reading that keeps every intact record, whatever its length.
        if (!j.readable || h.organization > kHighestOrganization) {
            h.organization = 0;
            h.record_length = 0;
        }
    }
    const bool fitted = fit_record_length(h, probe);
    j.verdict = damaged || fitted ? HeaderVerdict::rebuilt : HeaderVerdict::whole;
    return j;
}

}  // namespace datmend
