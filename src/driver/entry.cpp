// Run order: command line, the three files, the header block, the copy loop, the summary.
// Everything that could harm the user's files is refused before an output file is created.
#include "driver/entry.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <initializer_list>

#include "driver/command_line.hpp"
#include "driver/exit_status.hpp"
#include "driver/summary.hpp"
#include "format/header.hpp"

namespace datmend {

namespace {

// Offsets are signed 32-bit in the format's header, so a file must stay below 2 GiB.
constexpr std::uint64_t kSizeLimit = std::uint64_t{1} << 31;

bool is_directory(const std::string& name) {
    struct stat st;
    return stat(name.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// True when both names lead to one existing regular file, by whatever path or link. Devices
// such as /dev/null are never the same file: a dry run may name it twice.
bool same_regular_file(const std::string& a, const std::string& b) {
    struct stat sa;
    struct stat sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && S_ISREG(sa.st_mode) &&
           S_ISREG(sb.st_mode) && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Opens old_file and takes its size as physical_eof. Refuses, false with errno set, a directory
// and a file of 2 GiB or more, whose offsets the format cannot hold.
bool open_damaged_file(RunState& state) {
    if (is_directory(state.old_name)) {
        errno = EISDIR;
        return false;
    }
    std::uint64_t size = 0;
    if (!state.salvage.damaged.open(state.old_name.c_str()) ||
        !state.salvage.damaged.measure(size)) {
        return false;
    }
    if (size >= kSizeLimit) {
        errno = EOVERFLOW;
        return false;
    }
    state.salvage.physical_eof = static_cast<std::uint32_t>(size);
    return true;
}

// Refuses name, with status, when it leads to the same file as one of others.
int refuse_same_file(RunState& state, const std::string& name,
                     std::initializer_list<const std::string*> others, int status) {
    for (const std::string* other : others) {
        if (same_regular_file(name, *other)) {
            std::fprintf(state.err, "%s: Same file as %s\n", name.c_str(), other->c_str());
            return status;
        }
    }
    return 0;
}

// False when the file is too short for a file header or a byte of it cannot be read.
bool read_file_header(SalvageState& s) {
    std::uint8_t bytes[kFileHeaderSize];
    s.damaged.seek(0);
    if (s.damaged.read(bytes, sizeof bytes) != sizeof bytes ||
        !s.damaged.readable(0, sizeof bytes)) {
        return false;
    }
    s.file_header = decode_file_header(bytes);
    return true;
}

void print_banner(const RunState& state) {
    std::FILE* out = state.salvage.out;
    std::fputs("VARQ Datmend Utility:\n", out);
    std::fprintf(out, "              Input Filename = %s\n", state.old_name.c_str());
    std::fprintf(out, "             Output Filename = %s\n", state.new_name.c_str());
    if (state.has_deleted_file) {
        std::fprintf(out, "    Deleted Records Filename = %s\n", state.deleted_name.c_str());
    }
}

// The 496 bytes after the file header; those a short file or the disk cannot supply are zero.
void read_header_tail(SalvageState& s, std::uint8_t* tail) {
    s.damaged.seek(kFileHeaderSize);
    s.damaged.read(tail, kHeaderTailSize);
}

// The header block goes to the new file with an empty freelist; eof_address is patched at the
// end. The block is flushed at once so that an unwritable new file is reported before the walk.
int write_header_block(RunState& state, const std::uint8_t* tail) {
    FileHeader& header = state.salvage.file_header;
    header.freelist_address = 0;
    std::uint8_t head[kFileHeaderSize];
    encode_file_header(header, head);
    OutputFile& out = state.new_file;
    if (!out.write(head, sizeof head) || !out.write(tail, kHeaderTailSize) || !out.flush()) {
        return report_file_error(state, state.new_name, out.error(), kOldOrNewFileFailed);
    }
    return 0;
}

// Everything before the walk: the files opened (or refused), the header read, reported and
// checked, and the header block written. Returns 0, or the exit status of a start-up failure.
int start_up(RunState& state, int argc, char* argv[]) {
    if (!parse_command_line(state, argc, argv)) {
        print_help(state.salvage.out);
        return kBadCommandLine;
    }
    if (!open_damaged_file(state)) {
        return report_file_error(state, state.old_name, errno, kOldOrNewFileFailed);
    }
    if (int status =
            refuse_same_file(state, state.new_name, {&state.old_name}, kOldOrNewFileFailed)) {
        return status;
    }
    if (!state.new_file.open(state.new_name.c_str())) {
        return report_file_error(state, state.new_name, errno, kOldOrNewFileFailed);
    }
    if (state.has_deleted_file) {
        if (int status = refuse_same_file(state, state.deleted_name,
                                          {&state.old_name, &state.new_name}, kDeletedFileFailed)) {
            return status;
        }
        if (!state.deleted_file.open(state.deleted_name.c_str())) {
            return report_file_error(state, state.deleted_name, errno, kDeletedFileFailed);
        }
    }

    SalvageState& s = state.salvage;
    if (!read_file_header(s)) {
        std::fprintf(s.out, "Bad File Header %d\n", 0);
        return kBadFileHeader;
    }
    print_banner(state);
    print_header_report(s.out, s.file_header);
    if (!check_header(s.out, s.file_header, s.physical_eof)) {
        return kRefusedHeader;
    }
    std::uint8_t tail[kHeaderTailSize] = {};
    read_header_tail(s, tail);
    return write_header_block(state, tail);
}

}  // namespace

int run_datmend(RunState& state, int argc, char* argv[]) {
    if (int status = start_up(state, argc, argv)) {
        return status;
    }
    SalvageState& s = state.salvage;
    OutputFile* deleted_file = state.has_deleted_file ? &state.deleted_file : nullptr;
    s.damaged.seek(kHeaderBlockSize);  // the first record follows the header block
    WriteFailure failure = copy_records(s, state.new_file, deleted_file, state.counts);
    end_walk(s);
    if (!failure) {
        failure = close_outputs(state.new_file, deleted_file);
    }
    if (!failure) {
        failure = patch_new_header(state.new_name, s.file_header, state.new_eof);
    }
    if (failure) {
        return report_write_failure(state, failure);
    }
    return print_summary(state);
}

int datmend_main(int argc, char* argv[]) {
    RunState state;
    return run_datmend(state, argc, argv);
}

}  // namespace datmend
