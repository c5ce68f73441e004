// Run order: command line, the three files, the header block, the copy loop, the summary.
// Everything that could harm the user's files is refused before an output file is created, and
// a report that could not be written is a failure, told once the files are complete.
#include "driver/entry.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <initializer_list>
#include <optional>

#include "driver/command_line.hpp"
#include "driver/exit_status.hpp"
#include "driver/summary.hpp"
#include "format/header.hpp"

namespace datmend {

namespace {

// Offsets are signed 32-bit in the format's header, so a file must stay below 2 GiB.
constexpr std::uint64_t kSizeLimit = std::uint64_t{1} << 31;

std::optional<struct stat> stat_of(const std::string& name) {
    struct stat st;
    if (stat(name.c_str(), &st) != 0) {
        return std::nullopt;
    }
    return st;
}

bool is_fifo(const std::string& name) {
    const auto st = stat_of(name);
    return st && S_ISFIFO(st->st_mode);
}

// True when both names lead to one existing file, by whatever path or link, unless it is a
// character device: /dev/null may be named twice for a dry run.
bool same_file(const std::string& a, const std::string& b) {
    const auto sa = stat_of(a);
    const auto sb = stat_of(b);
    return sa && sb && sa->st_dev == sb->st_dev && sa->st_ino == sb->st_ino &&
           !S_ISCHR(sa->st_mode);
}

// Refuses name, with status, when it leads to the same file as one of others.
int refuse_same_file(RunState& state, const std::string& name,
                     std::initializer_list<const std::string*> others, int status) {
    for (const std::string* other : others) {
        if (same_file(name, *other)) {
            return report_failure(state, name, "Same file as " + *other, status);
        }
    }
    return 0;
}

// Refuses old_file, before it is opened, when it is a FIFO, which would wait for a writer and
// cannot seek, or a directory. Returns 0 or the exit status.
int refuse_damaged_file_kind(RunState& state) {
    const auto st = stat_of(state.old_name);
    if (st && S_ISFIFO(st->st_mode)) {
        return report_file_error(state, state.old_name, ESPIPE, kOldOrNewFileFailed);
    }
    if (st && S_ISDIR(st->st_mode)) {
        return report_file_error(state, state.old_name, EISDIR, kOldOrNewFileFailed);
    }
    return 0;
}

// Opens old_file and takes its size as physical_eof, refusing a file of 2 GiB or more, whose
// offsets the format cannot hold. Returns 0 or the exit status.
int open_and_measure_damaged_file(RunState& state) {
    std::uint64_t size = 0;
    if (!state.salvage.damaged.open(state.old_name.c_str()) ||
        !state.salvage.damaged.measure(size)) {
        return report_file_error(state, state.old_name, errno, kOldOrNewFileFailed);
    }
    if (size >= kSizeLimit) {
        return report_file_error(state, state.old_name, EOVERFLOW, kOldOrNewFileFailed);
    }
    state.salvage.physical_eof = static_cast<std::uint32_t>(size);
    return 0;
}

// The refusals of the output files, all made before either is created: a new file that is a
// FIFO, whose final patch could not seek, and any output that is another of the three files.
// A deleted-records file may be a pipe: it is only written straight through.
int refuse_output_names(RunState& state) {
    if (is_fifo(state.new_name)) {
        return report_file_error(state, state.new_name, ESPIPE, kOldOrNewFileFailed);
    }
    if (int status =
            refuse_same_file(state, state.new_name, {&state.old_name}, kOldOrNewFileFailed)) {
        return status;
    }
    if (!state.has_deleted_file) {
        return 0;
    }
    return refuse_same_file(state, state.deleted_name, {&state.old_name, &state.new_name},
                            kDeletedFileFailed);
}

// The output files are created with the damaged file's permission bits, as cp does: a
// deleted-records file holds deleted rows, which may be private.
int open_output_files(RunState& state) {
    const auto st = stat_of(state.old_name);
    const mode_t mode = st ? st->st_mode : 0600;
    if (!state.new_file.open(state.new_name.c_str(), mode)) {
        return report_file_error(state, state.new_name, errno, kOldOrNewFileFailed);
    }
    if (state.has_deleted_file && !state.deleted_file.open(state.deleted_name.c_str(), mode)) {
        return report_file_error(state, state.deleted_name, errno, kDeletedFileFailed);
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

void print_banner(RunState& state) {
    Report& out = state.salvage.report;
    out.put("VARQ Datmend Utility:\n");
    out.print("              Input Filename = %s\n", state.old_name.c_str());
    out.print("             Output Filename = %s\n", state.new_name.c_str());
    if (state.has_deleted_file) {
        out.print("    Deleted Records Filename = %s\n", state.deleted_name.c_str());
    }
}

// The 496 bytes after the file header; those a short file or the disk cannot supply are zero.
void read_header_tail(SalvageState& s, std::uint8_t* tail) {
    s.damaged.seek(kFileHeaderSize);
    s.damaged.read(tail, kHeaderTailSize);
}

// The header block goes to the new file with an empty freelist; eof_address is patched at the
// end. The block is flushed at once so that an unwritable new file is reported before the walk,
// and a block that cannot be written whole leaves the new file empty.
int write_header_block(RunState& state, const std::uint8_t* tail) {
    FileHeader& header = state.salvage.file_header;
    header.freelist_address = 0;
    std::uint8_t head[kFileHeaderSize];
    encode_file_header(header, head);
    OutputFile& out = state.new_file;
    if (!out.write(head, sizeof head) || !out.write(tail, kHeaderTailSize) || !out.flush()) {
        const int errnum = out.error();
        out.close_empty();
        return report_file_error(state, state.new_name, errnum, kOldOrNewFileFailed);
    }
    return 0;
}

// Everything before the walk: the files opened (or refused), the header read, reported and
// checked, and the header block written. Returns 0, or the exit status of a start-up failure.
int start_up(RunState& state, int argc, char* argv[]) {
    if (!parse_command_line(state, argc, argv)) {
        print_help(state.salvage.report);
        return kBadCommandLine;
    }
    if (int status = refuse_damaged_file_kind(state)) {
        return status;
    }
    if (int status = open_and_measure_damaged_file(state)) {
        return status;
    }
    if (int status = refuse_output_names(state)) {
        return status;
    }
    if (int status = open_output_files(state)) {
        return status;
    }

    SalvageState& s = state.salvage;
    if (!read_file_header(s)) {
        s.report.print("Bad File Header %d\n", 0);
        return kBadFileHeader;
    }
    print_banner(state);
    print_header_report(s.report, s.file_header);
    if (!check_header(s.report, s.file_header, s.physical_eof)) {
        return kRefusedHeader;
    }
    std::uint8_t tail[kHeaderTailSize] = {};
    read_header_tail(s, tail);
    return write_header_block(state, tail);
}

// The walk, the output files closed and the new file's header patched.
WriteFailure write_new_files(RunState& state) {
    SalvageState& s = state.salvage;
    OutputFile* deleted_file = state.has_deleted_file ? &state.deleted_file : nullptr;
    s.damaged.seek(kHeaderBlockSize);  // the first record follows the header block
    WriteFailure failure = copy_records(s, state.new_file, deleted_file, state.counts);
    end_walk(s);
    if (!failure) {
        failure = close_outputs(state.new_file, deleted_file);
    }
    if (!failure) {
        failure = patch_new_header(state.new_name, s.file_header, state.counts, state.new_eof);
    }
    return failure;
}

// Writes out the rest of the report; true, after saying so on standard error, when some of it
// could not be written.
bool report_lost(RunState& state) {
    Report& report = state.salvage.report;
    if (report.flush()) {
        return false;
    }
    report_file_error(state, "standard output", report.error(), kReportLost);
    return true;
}

// Gives each closed standard descriptor /dev/null, so that no data file can get one of them
// and have the report written into it. Returns false when standard output was closed.
bool open_standard_descriptors() {
    bool output_open = true;
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            output_open = output_open && fd != 1;
            open("/dev/null", O_RDWR);  // the lowest free descriptor: this one
        }
    }
    return output_open;
}

}  // namespace

int run_datmend(RunState& state, int argc, char* argv[]) {
    if (int status = start_up(state, argc, argv)) {
        report_lost(state);  // the start-up status says more than a lost report would
        return status;
    }
    if (WriteFailure failure = write_new_files(state)) {
        report_lost(state);
        return report_write_failure(state, failure);
    }
    const int status = print_summary(state);
    return report_lost(state) ? kReportLost : status;
}

int datmend_main(int argc, char* argv[]) {
    const bool output_open = open_standard_descriptors();
    // A closed pipe on standard output is a lost report, found by the write that fails, and
    // must not end the process before the new file is complete.
    std::signal(SIGPIPE, SIG_IGN);
    RunState state;
    if (!output_open) {
        state.salvage.report.fail(EBADF);
    }
    return run_datmend(state, argc, argv);
}

}  // namespace datmend
