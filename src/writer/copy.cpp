// The copy loop. Every write is checked, and the first failure stops the work and is handed back
// to the caller, which alone reports it. The new file's header is patched by the driver once the
// loop is done.
#include "writer/copy.hpp"

#include <array>
#include <climits>
#include <cstring>

namespace datmend {

namespace {

// Where the copy loop sends each record, by its type. Active records the fast road takes are
// re-framed where they lie in the damaged file's window and wait there in runs, to go to the new
// file without a copy; take_window() writes them out before it returns, while the window still
// holds them.
class Disposal {
  public:
    Disposal(Writer& new_file, Writer* deleted_file, Findings& found)
        : new_file_(new_file), deleted_file_(deleted_file), found_(found) {}

    // Every record from the walk's position that the window holds whole and intact, each
    // re-framed or set aside, then the runs written out and what was taken told. False once a
    // write has failed.
    bool take_window(Walk& walk) {
        const std::uint32_t first = walk.position();
        const CopyCounts before = counts_;
        walk.take_records_in_window([this](std::uint8_t* record) { return take(record); });
        const bool written = failure_.writer == nullptr && write_runs();
        tell(first, walk.position(), before);
        return written;
    }

    // A record the walk delivered: an active one is copied to the new file and re-framed there.
    // False once a write has failed.
    bool take_copy(const FramedRecord& record) {
        const std::uint8_t type = record.header.rec_type;
        found_.records({record.offset, record.end(), type == kActiveRecord ? 1u : 0u,
                        type == kDeletedRecord ? 1u : 0u, type > kDeletedRecord ? 1u : 0u});
        return type == kActiveRecord ? copy(record) : set_aside(record.header, record.data.data());
    }

    WriteFailure failure() const { return failure_; }

  private:
    static constexpr std::size_t kGatherAtLeast = 64 * 1024;

    // What the copy loop has taken so far, by disposition.
    struct CopyCounts {
        std::uint32_t active = 0;
        std::uint32_t deleted = 0;
        std::uint32_t overhead = 0;
    };

    // The records from first to end, taken since the counts were before.
    void tell(std::uint32_t first, std::uint32_t end, const CopyCounts& before) {
        if (end != first) {
            found_.records({first, end, counts_.active - before.active,
                            counts_.deleted - before.deleted, counts_.overhead - before.overhead});
        }
    }

    // A record the fast road took, at record in the window; false once a write has failed.
    bool take(std::uint8_t* record) {
        const RecordHeader r = decode_record_header(record);
        return r.rec_type == kActiveRecord ? gather(r, record) : set_aside(r, record_data(record));
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

    // The active record, copied into the new file's buffer as it is to be written, and
    // re-framed there.
    bool copy(const FramedRecord& record) {
        const std::uint32_t length = record.header.rec_length;
        auto* bytes = reinterpret_cast<std::uint8_t*>(new_file_.reserve(framed_size(length)));
        std::memcpy(bytes + kRecordHeaderSize, record.data.data(), length);
        put_le32(bytes + kRecordHeaderSize + length, record.trailer);
        reframe(record.header, bytes);
        new_file_.commit(framed_size(length));
        return !new_file_.failed() || fail_new_file();
    }

    // Deleted records' data go to the deleted-records file, if any; overhead records nowhere.
    bool set_aside(const RecordHeader& r, const std::uint8_t* data) {
        if (r.rec_type != kDeletedRecord) {
            ++counts_.overhead;
            return true;
        }
        ++counts_.deleted;
        if (deleted_file_ != nullptr && !deleted_file_->write(data, r.rec_length)) {
            failure_ = {deleted_file_, deleted_file_->error()};
            return false;
        }
        return true;
    }

    // Writes the header of the active record r at header: active, renumbered from the count so
    // far, the header's other fields cleared; data and trailer stay as they are.
    void reframe(RecordHeader r, std::uint8_t* header) {
        r.rec_type = kActiveRecord;
        r.rec_byte1 = 0;
        r.rec_word4 = 0;
        r.rec_ordinal = counts_.active++;
        encode_record_header(r, header);
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
    Findings& found_;
    CopyCounts counts_;
    // Runs of re-framed active records in the window, in the order they are to be written;
    // runs_size_ is the sum of their lengths.
    std::array<iovec, IOV_MAX> runs_;
    std::size_t run_count_ = 0;  // <= runs_.size()
    std::size_t runs_size_ = 0;
    WriteFailure failure_;
};

}  // namespace

WriteFailure copy_records(Walk& walk, Writer& new_file, Writer* deleted_file, Findings& found) {
    Disposal disposal(new_file, deleted_file, found);
    std::uint64_t windows = walk.windows_read();
    while (!walk.at_end()) {
        if (walk.windows_read() != windows) {
            windows = walk.windows_read();
            found.reached(walk.position());
        }
        if (!disposal.take_window(walk) || walk.at_end()) {
            break;
        }
        const auto record = walk.next();
        if (!record || !disposal.take_copy(*record)) {
            break;
        }
    }
    return disposal.failure();
}

}  // namespace datmend
