// The header block goes to the new file as it was read, but for an empty freelist; its
// eof_address is patched once the new file is complete.
#include "driver/header_block.hpp"

#include <cstring>

#include "driver/exit_status.hpp"
#include "driver/failure.hpp"

namespace datmend {

namespace {

// The 496 bytes after the file header; those a short file or the disk cannot supply are zero.
void read_header_tail(DamagedFile& damaged, std::uint8_t* tail) {
    std::memset(tail, 0, kHeaderTailSize);
    const auto bytes = damaged.view(kFileHeaderSize, kHeaderTailSize);
    if (!bytes.empty()) {
        std::memcpy(tail, bytes.data(), bytes.size());
    }
}

}  // namespace

bool read_file_header(RunState& state) {
    const auto bytes = state.damaged.view(0, kFileHeaderSize);
    if (bytes.size() != kFileHeaderSize || !state.damaged.readable(0, kFileHeaderSize)) {
        return false;
    }
    state.file_header = decode_file_header(bytes.data());
    return true;
}

void print_header_report(Writer& out, const FileHeader& h) {
    out.write("\nFile Header Information:\n");
    out.print("           File Organization = %d ", static_cast<int>(h.organization));
    if (is_fixed_length(h) && h.organization <= kHighestOrganization) {
        out.write("( Fixed Length Records )\n");
        out.print("               Record Length = %d\n", static_cast<int>(h.record_length));
    } else {
        out.write("( Variable Length Records )\n");
        out.write("               Record Length = (var)\n");
    }
    out.print("              Tavrel Version = %d\n", static_cast<int>(h.fm_version));
    out.print("   Freelist Starting Address = %d\n", static_cast<int>(h.freelist_address));
    out.print("         End of File Address = %d\n", static_cast<int>(h.eof_address));
}

bool check_header(Writer& out, const FileHeader& h, std::uint32_t physical_eof) {
    if (h.organization > kHighestOrganization) {
        out.write("ERROR!!  Wrong File Organization!\n");
        return false;
    }
    if (h.fm_version != kFileManagerVersion) {
        out.write("ERROR!!  Wrong File Manager Version!\n");
        return false;
    }
    if (static_cast<std::uint32_t>(h.eof_address) != physical_eof) {
        out.write("\n*** WARNING *** The Physical EOF does not match the file Header!\n");
        out.print("                  (Physical End of File is at %d)\n",
                  static_cast<int>(physical_eof));
    }
    return true;
}

int write_header_block(RunState& state) {
    std::uint8_t block[kHeaderBlockSize];
    read_header_tail(state.damaged, block + kFileHeaderSize);
    FileHeader& header = state.file_header;
    header.freelist_address = 0;
    encode_file_header(header, block);
    Writer& out = state.new_file.writer();
    if (!out.write(block, sizeof block) || !out.flush()) {
        return report_file_error(state, state.new_name, out.error(), kOldOrNewFileFailed);
    }
    return 0;
}

bool patch_new_header(RunState& state) {
    state.new_eof = static_cast<std::uint32_t>(state.new_file.writer().written());
    state.file_header.eof_address = static_cast<std::int32_t>(state.new_eof);
    std::uint8_t bytes[kFileHeaderSize];
    encode_file_header(state.file_header, bytes);
    return state.new_file.patch(0, bytes, sizeof bytes);
}

}  // namespace datmend
