// Run order: command line, the three files, the header block, the copy loop, the summary.
// Everything that could harm the user's files is refused before an output file is created.
#include "driver/entry.hpp"

#include <sys/stat.h>

#include <cerrno>

#include "driver/command_line.hpp"
#include "driver/summary.hpp"
#include "format/header.hpp"
#include "writer/copy.hpp"

namespace datmend {

namespace {

constexpr int kBadCommandLine = 1;
constexpr int kOldOrNewFileFailed = 2;
constexpr int kDeletedFileFailed = 3;
constexpr int kBadFileHeader = 4;
constexpr int kRefusedHeader = 9;

// True when both names lead to one existing regular file, by whatever path or link. Devices
// such as /dev/null are never the same file: a dry run may name it twice.
bool same_regular_file(const std::string& a, const std::string& b) {
    struct stat sa;
    struct stat sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && S_ISREG(sa.st_mode) &&
           S_ISREG(sb.st_mode) && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

int refuse_same_file(RunState& state, const std::string& name, const std::string& other,
                     int status) {
    std::fprintf(state.err, "%s: Same file as %s\n", name.c_str(), other.c_str());
    return status;
}

int open_files(RunState& state) {
    if (!state.damaged.open(state.old_name.c_str()) || !state.damaged.measure(state.physical_eof)) {
        return report_file_error(state, state.old_name, errno, kOldOrNewFileFailed);
    }
    if (same_regular_file(state.new_name, state.old_name)) {
        return refuse_same_file(state, state.new_name, state.old_name, kOldOrNewFileFailed);
    }
    if (!state.new_file.open(state.new_name.c_str())) {
        return report_file_error(state, state.new_name, errno, kOldOrNewFileFailed);
    }
    if (!state.has_deleted_file) {
        return 0;
    }
    for (const std::string* other : {&state.old_name, &state.new_name}) {
        if (same_regular_file(state.deleted_name, *other)) {
            return refuse_same_file(state, state.deleted_name, *other, kDeletedFileFailed);
        }
    }
    if (!state.deleted_file.open(state.deleted_name.c_str())) {
        return report_file_error(state, state.deleted_name, errno, kDeletedFileFailed);
    }
    return 0;
}

bool read_file_header(RunState& state) {
    std::uint8_t bytes[kFileHeaderSize];
    state.damaged.seek(0);
    if (state.damaged.read(bytes, sizeof bytes) != sizeof bytes) {
        return false;
    }
    state.file_header = decode_file_header(bytes);
    return true;
}

void print_banner(const RunState& state) {
    std::fputs("VARQ Datmend Utility:\n", state.out);
    std::fprintf(state.out, "              Input Filename = %s\n", state.old_name.c_str());
    std::fprintf(state.out, "             Output Filename = %s\n", state.new_name.c_str());
    if (state.has_deleted_file) {
        std::fprintf(state.out, "    Deleted Records Filename = %s\n", state.deleted_name.c_str());
    }
}

// The header block goes to the new file with an empty freelist; eof_address is patched at the
// end. Tail bytes that a short file cannot supply are written as zeros. The block is flushed
// at once so that an unwritable new file is reported before the walk begins.
int write_header_block(RunState& state) {
    std::uint8_t tail[kHeaderTailSize] = {};
    state.damaged.read(tail, sizeof tail);
    state.file_header.freelist_address = 0;
    std::uint8_t head[kFileHeaderSize];
    encode_file_header(state.file_header, head);
    OutputFile& out = state.new_file;
    if (!out.write(head, sizeof head) || !out.write(tail, sizeof tail) || !out.flush()) {
        return report_file_error(state, state.new_name, out.error(), kOldOrNewFileFailed);
    }
    state.damaged.seek(kHeaderBlockSize);
    return 0;
}

}  // namespace

int run_datmend(RunState& state, int argc, char* argv[]) {
    if (!parse_command_line(state, argc, argv)) {
        print_help(state.out);
        return kBadCommandLine;
    }
    if (int status = open_files(state)) {
        return status;
    }
    if (!read_file_header(state)) {
        std::fprintf(state.out, "Bad File Header %d\n", 0);
        return kBadFileHeader;
    }
    print_banner(state);
    print_header_report(state.out, state.file_header);
    if (!check_header(state.out, state.file_header, state.physical_eof)) {
        return kRefusedHeader;
    }
    if (int status = write_header_block(state)) {
        return status;
    }
    if (int status = copy_records(state, state.counts)) {
        return status;
    }
    if (int status = finish_new_file(state, state.new_eof)) {
        return status;
    }
    return print_summary(state, state.counts, state.new_eof);
}

int datmend_main(int argc, char* argv[]) {
    RunState state;
    return run_datmend(state, argc, argv);
}

}  // namespace datmend
