// Copy loop and final header patch. Every write is checked, and the first failure stops the
// work and is handed back to the caller, which alone reports it.
#include "writer/copy.hpp"

#include <array>
#include <climits>
#include <cstring>

namespace datmend {

namespace {

// Where the copy loop sends each record, by its type. Active records the fast road takes are
// re-framed where they lie in the damaged file's window and wait there in runs, to go to the new
// file without a copy; the runs must be written out before the window moves.
class Disposal {
  public:
    Disposal(Writer& new_file, Writer* deleted_file)
        : new_file_(new_file), deleted_file_(deleted_file) {}

    // A record the fast road took, at record in the window; false once a write has failed.
    bool take(std::uint8_t* record) {
        const RecordHeader r = decode_record_header(record);
        return r.rec_type == kActiveRecord ? gather(r, record) : set_aside(r, record);
    }

    // A record the walk delivered, in the window: an active one is copied to the new file and
    // re-framed there, with the length it is taken with. False once a write has failed.
    bool take_copy(const FramedRecord& record) {
        RecordHeader r = decode_record_header(record.framed.data());
        r.rec_length = static_cast<std::uint16_t>(record.length);
        return r.rec_type == kActiveRecord ? copy(r, record.framed.data())
                                           : set_aside(r, record.framed.data());
    }

    // Writes the runs out. Where they come to kGatherAtLeast, straight from the window; less
    // goes through the buffer, since a system call for a few kilobytes costs more than a copy.
    bool write_runs() {
        if (run_count_ == 0) {
            return true;
        }
        bool ok = true;
        if (runs_size_ >= kGatherAtLeast) {
            ok = new_file_.write_pieces(runs_.data(), run_count_);
        } else {
            for (std::size_t i = 0; ok && i < run_count_; ++i) {
                ok = new_file_.write(runs_[i].iov_base, runs_[i].iov_len);
            }
        }
        run_count_ = 0;
        runs_size_ = 0;
        return ok || fail_new_file();
    }

    WriteFailure failure() const { return failure_; }
    const CopyCounts& counts() const { return counts_; }

  private:
    static constexpr std::size_t kGatherAtLeast = 64 * 1024;

    // The active record r, re-framed where it lies and added to the runs.
    bool gather(const RecordHeader& r, std::uint8_t* record) {
        const std::size_t framed = framed_size(r.rec_length);
        reframe(r, record);
        if (run_count_ > 0 && run_end() == record) {
            runs_[run_count_ - 1].iov_len += framed;
        } else {
            if (run_count_ == runs_.size() && !write_runs()) {
                return false;
            }
            runs_[run_count_++] = {record, framed};
        }
        runs_size_ += framed;
        return true;
    }

    // The active record r, copied after the runs into the new file's buffer and re-framed there;
    // its trailer is r's length, whatever the record's says.
    bool copy(const RecordHeader& r, const std::uint8_t* record) {
        const std::size_t framed = framed_size(r.rec_length);
        if (!write_runs()) {
            return false;
        }
        auto* bytes = reinterpret_cast<std::uint8_t*>(new_file_.reserve(framed));
        std::memcpy(bytes, record, framed - kTrailerSize);
        put_le32(bytes + framed - kTrailerSize, r.rec_length);
        reframe(r, bytes);
        new_file_.commit(framed);
        return !new_file_.failed() || fail_new_file();
    }

    // Deleted records' data go to the deleted-records file, if any; overhead records nowhere.
    bool set_aside(const RecordHeader& r, const std::uint8_t* record) {
        const std::size_t framed = framed_size(r.rec_length);
        if (r.rec_type != kDeletedRecord) {
            ++counts_.overhead;
            counts_.overhead_bytes += framed;
            return true;
        }
        ++counts_.deleted;
        counts_.deleted_bytes += framed;
        if (deleted_file_ != nullptr && !deleted_file_->write(record_data(record), r.rec_length)) {
            failure_ = {deleted_file_, deleted_file_->error()};
            return false;
        }
        return true;
    }

    // Re-frames the active record r, whose header is at header: active, renumbered from the
    // count so far, the header's other fields cleared; data and trailer stay as read.
    void reframe(RecordHeader r, std::uint8_t* header) {
        r.rec_byte1 = 0;
        r.rec_word4 = 0;
        r.rec_ordinal = counts_.active++;
        encode_record_header(r, header);
        counts_.active_bytes += framed_size(r.rec_length);
    }

    bool fail_new_file() {
        failure_ = {&new_file_, new_file_.error()};
        return false;
    }

    const std::uint8_t* run_end() const {
        const iovec& last = runs_[run_count_ - 1];
        return static_cast<const std::uint8_t*>(last.iov_base) + last.iov_len;
    }

    Writer& new_file_;
    Writer* deleted_file_;
    CopyCounts counts_;
    // Runs of re-framed active records in the window, in the order they are to be written;
    // runs_size_ is the sum of their lengths.
    std::array<iovec, IOV_MAX> runs_;
    std::size_t run_count_ = 0;  // <= runs_.size()
    std::size_t runs_size_ = 0;
    WriteFailure failure_;
};

}  // namespace

Copied copy_records(Walk& walk, Writer& new_file, Writer* deleted_file, const CopyWatch& watch) {
    Disposal disposal(new_file, deleted_file);
    const auto take = [&disposal](std::uint8_t* record) { return disposal.take(record); };
    std::uint64_t windows = walk.windows_read();
    while (!walk.at_end()) {
        if (walk.windows_read() != windows) {
            windows = walk.windows_read();
            if (watch) {
                watch(walk, disposal.counts());
            }
        }
        walk.take_records_in_window(take);
        // The walk may move the window under the runs: write them out first.
        if (disposal.failure() || !disposal.write_runs() || walk.at_end()) {
            break;
        }
        const auto record = walk.next();
        if (!record || !disposal.take_copy(*record)) {
            break;
        }
    }
    if (!disposal.failure()) {
        disposal.write_runs();
    }
    return {disposal.counts(), disposal.failure()};
}

}  // namespace datmend
