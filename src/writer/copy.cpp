// Copy loop and final header patch. Every write is checked, and the first failure stops the
// work and is handed back to the caller, which alone reports it.
#include "writer/copy.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "salvage/reader.hpp"

namespace datmend {

namespace {

WriteFailure failed(WriteFailure::File file, int errnum) {
    return {file, errnum};
}

// Where the copy loop sends each record, by its type. Active records that lie one after another
// in the damaged file's window wait in a run, to be copied to the new file in one piece; the
// run must be written out before the window moves.
class Disposal {
  public:
    Disposal(OutputFile& new_file, OutputFile* deleted_file, CopyCounts& counts)
        : new_file_(new_file), deleted_file_(deleted_file), counts_(counts) {}

    // Disposes of the framed record at record; false once a write has failed.
    bool dispose(const std::uint8_t* record) {
        const RecordHeader r = decode_record_header(record);
        const std::size_t framed = std::size_t{r.rec_length} + kFramingSize;
        switch (r.rec_type) {
            case kActiveRecord:
                if (run_ + run_size_ != record || run_size_ + framed > OutputFile::kBufferSize) {
                    if (!write_run()) {
                        return false;
                    }
                    run_ = record;
                }
                run_size_ += framed;
                return true;
            case kDeletedRecord:
                ++counts_.deleted;
                counts_.deleted_bytes += framed;
                if (deleted_file_ != nullptr &&
                    !deleted_file_->write(record + kRecordHeaderSize, r.rec_length)) {
                    failure_ = {WriteFailure::File::deleted_file, deleted_file_->error()};
                    return false;
                }
                return true;
            default:
                ++counts_.overhead;
                counts_.overhead_bytes += framed;
                return true;
        }
    }

    // Copies the run to the new file and re-frames each record there: active, renumbered from
    // the count so far, the header's other fields cleared, data and trailer as read.
    bool write_run() {
        if (run_size_ == 0) {
            return true;
        }
        std::uint8_t* bytes = new_file_.reserve(run_size_);
        if (bytes == nullptr) {
            failure_ = {WriteFailure::File::new_file, new_file_.error()};
            return false;
        }
        std::memcpy(bytes, run_, run_size_);
        for (std::size_t at = 0; at < run_size_;) {
            RecordHeader r = decode_record_header(bytes + at);
            r.rec_type = kActiveRecord;
            r.rec_byte1 = 0;
            r.rec_word4 = 0;
            r.rec_ordinal = counts_.active++;
            encode_record_header(r, bytes + at);
            at += r.rec_length + kFramingSize;
        }
        new_file_.commit(run_size_);
        counts_.active_bytes += run_size_;
        run_size_ = 0;
        return true;
    }

    WriteFailure failure() const { return failure_; }

  private:
    OutputFile& new_file_;
    OutputFile* deleted_file_;
    CopyCounts& counts_;
    const std::uint8_t* run_ = nullptr;  // the run's first record in the window
    std::size_t run_size_ = 0;           // framing included; <= OutputFile::kBufferSize
    WriteFailure failure_;
};

}  // namespace

WriteFailure copy_records(SalvageState& state, OutputFile& new_file, OutputFile* deleted_file,
                          CopyCounts& counts) {
    Disposal disposal(new_file, deleted_file, counts);
    const auto dispose = [&disposal](const std::uint8_t* record) {
        return disposal.dispose(record);
    };
    while (state.damaged.tell() < state.physical_eof) {
        take_records_in_window(state, dispose);
        // The reader may move the window under the run: write the run out first.
        if (disposal.failure() || !disposal.write_run()) {
            break;
        }
        if (state.damaged.tell() >= state.physical_eof || !read_next_record(state)) {
            break;
        }
        // The data follows the header in the window.
        if (!disposal.dispose(state.record_data.data() - kRecordHeaderSize)) {
            break;
        }
    }
    if (!disposal.failure()) {
        disposal.write_run();
    }
    return disposal.failure();
}

WriteFailure close_outputs(OutputFile& new_file, OutputFile* deleted_file) {
    if (!new_file.close()) {
        return failed(WriteFailure::File::new_file, new_file.error());
    }
    if (deleted_file != nullptr && !deleted_file->close()) {
        return failed(WriteFailure::File::deleted_file, deleted_file->error());
    }
    return {};
}

WriteFailure patch_new_header(const std::string& new_name, FileHeader& header,
                              const CopyCounts& counts, std::uint32_t& new_eof) {
    const int fd = ::open(new_name.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return failed(WriteFailure::File::new_file, errno_or_eio());
    }
    errno = 0;
    struct stat st;
    bool ok = fstat(fd, &st) == 0;
    if (ok && S_ISREG(st.st_mode)) {
        const off_t end = lseek(fd, 0, SEEK_END);
        ok = end >= 0;
        new_eof = static_cast<std::uint32_t>(end);
    } else if (ok) {
        // A device, such as /dev/null in a dry run: the size the file would have had.
        new_eof = static_cast<std::uint32_t>(kHeaderBlockSize + counts.active_bytes);
    }
    if (ok) {
        header.eof_address = static_cast<std::int32_t>(new_eof);
        std::uint8_t bytes[kFileHeaderSize];
        encode_file_header(header, bytes);
        ok = pwrite(fd, bytes, sizeof bytes, 0) == static_cast<ssize_t>(sizeof bytes);
    }
    const int errnum = ok ? 0 : errno_or_eio();
    errno = 0;
    if (::close(fd) != 0 && ok) {
        return failed(WriteFailure::File::new_file, errno_or_eio());
    }
    return ok ? WriteFailure{} : failed(WriteFailure::File::new_file, errnum);
}

}  // namespace datmend
