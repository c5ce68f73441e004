// Copy loop and final header patch. Every write is checked: the first failure is reported with
// the file's name and ends the run with status 2 (new file) or 3 (deleted-records file).
#include "writer/copy.hpp"

#include <cerrno>

#include "salvage/reader.hpp"

namespace datmend {

namespace {

constexpr int kNewFileFailed = 2;
constexpr int kDeletedFileFailed = 3;

bool write_active(RunState& state, std::uint32_t ordinal) {
    RecordHeader& r = state.record;
    r.rec_type = kActiveRecord;
    r.rec_byte1 = 0;
    r.rec_word4 = 0;
    r.rec_ordinal = ordinal;
    std::uint8_t head[kRecordHeaderSize];
    std::uint8_t tail[kTrailerSize];
    encode_record_header(r, head);
    encode_trailer(state.trailer, tail);
    OutputFile& out = state.new_file;
    return out.write(head, sizeof head) && out.write(state.record_buffer.get(), r.rec_length) &&
           out.write(tail, sizeof tail);
}

int report_io_error(RunState& state, const std::string& name, int status) {
    return report_file_error(state, name, errno != 0 ? errno : EIO, status);
}

// Writes the 16-byte file header at the front of the new file, with eof_address its size.
int patch_header(RunState& state, std::uint32_t& new_eof) {
    std::FILE* f = std::fopen(state.new_name.c_str(), "rb+");
    if (f == nullptr) {
        return report_io_error(state, state.new_name, kNewFileFailed);
    }
    errno = 0;
    off_t end = -1;
    if (fseeko(f, 0, SEEK_END) == 0) {
        end = ftello(f);
    }
    std::uint8_t bytes[kFileHeaderSize];
    bool ok = end >= 0 && fseeko(f, 0, SEEK_SET) == 0;
    if (ok) {
        new_eof = static_cast<std::uint32_t>(end);
        state.file_header.eof_address = static_cast<std::int32_t>(new_eof);
        encode_file_header(state.file_header, bytes);
        ok = std::fwrite(bytes, sizeof bytes, 1, f) == 1;
    }
    if (!ok) {
        const int errnum = errno != 0 ? errno : EIO;
        std::fclose(f);
        return report_file_error(state, state.new_name, errnum, kNewFileFailed);
    }
    if (std::fclose(f) != 0) {
        return report_io_error(state, state.new_name, kNewFileFailed);
    }
    return 0;
}

}  // namespace

int copy_records(RunState& state, CopyCounts& counts) {
    while (state.damaged.tell() < state.physical_eof) {
        if (!read_next_record(state)) {
            break;
        }
        const std::uint16_t length = state.record.rec_length;
        const std::uint64_t framed = std::uint64_t{length} + kFramingSize;
        switch (state.record.rec_type) {
            case kActiveRecord:
                if (!write_active(state, counts.active)) {
                    return report_file_error(state, state.new_name, state.new_file.error(),
                                             kNewFileFailed);
                }
                ++counts.active;
                counts.active_bytes += framed;
                break;
            case kDeletedRecord:
                if (state.has_deleted_file &&
                    !state.deleted_file.write(state.record_buffer.get(), length)) {
                    return report_file_error(state, state.deleted_name, state.deleted_file.error(),
                                             kDeletedFileFailed);
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
    return 0;
}

int finish_new_file(RunState& state, std::uint32_t& new_eof) {
    state.record_buffer.reset();
    state.record_capacity = 0;
    state.damaged.close();
    if (!state.new_file.close()) {
        return report_file_error(state, state.new_name, state.new_file.error(), kNewFileFailed);
    }
    if (state.has_deleted_file && !state.deleted_file.close()) {
        return report_file_error(state, state.deleted_name, state.deleted_file.error(),
                                 kDeletedFileFailed);
    }
    return patch_header(state, new_eof);
}

}  // namespace datmend
