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

// The record re-framed in the new file's buffer: header, data and trailer in one piece.
bool write_active(SalvageState& state, OutputFile& out, std::uint32_t ordinal) {
    RecordHeader& r = state.record;
    r.rec_type = kActiveRecord;
    r.rec_byte1 = 0;
    r.rec_word4 = 0;
    r.rec_ordinal = ordinal;
    std::uint8_t* bytes = out.reserve(r.rec_length + kFramingSize);
    if (bytes == nullptr) {
        return false;
    }
    encode_record_header(r, bytes);
    std::memcpy(bytes + kRecordHeaderSize, state.record_data.data(), r.rec_length);
    encode_trailer(state.trailer, bytes + kRecordHeaderSize + r.rec_length);
    out.commit(r.rec_length + kFramingSize);
    return true;
}

}  // namespace

WriteFailure copy_records(SalvageState& state, OutputFile& new_file, OutputFile* deleted_file,
                          CopyCounts& counts) {
    while (state.damaged.tell() < state.physical_eof) {
        if (!read_next_record(state)) {
            break;
        }
        const std::uint16_t length = state.record.rec_length;
        const std::uint64_t framed = std::uint64_t{length} + kFramingSize;
        switch (state.record.rec_type) {
            case kActiveRecord:
                if (!write_active(state, new_file, counts.active)) {
                    return failed(WriteFailure::File::new_file, new_file.error());
                }
                ++counts.active;
                counts.active_bytes += framed;
                break;
            case kDeletedRecord:
                if (deleted_file != nullptr &&
                    !deleted_file->write(state.record_data.data(), length)) {
                    return failed(WriteFailure::File::deleted_file, deleted_file->error());
                }
                ++counts.deleted;
                counts.deleted_bytes += framed;
                break;
            default:
                ++counts.overhead;
                counts.overhead_bytes += framed;
                break;
        }
    }
    return {};
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
