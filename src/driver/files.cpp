// Refusals come first and name the file refused; the output files are created only once every
// name has passed.
#include "driver/files.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <optional>

#include "driver/exit_status.hpp"
#include "driver/failure.hpp"
#include "driver/map_failure.hpp"
#include "salvage/rescue_map.hpp"
#include "writer/target.hpp"

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

bool same_inode(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// True when both names lead to one file, by whatever path or link, unless it is a character
// device (/dev/null may be named twice for a dry run); or, whether it exists yet or not, to one
// entry of one folder once links are followed.
bool same_file(const std::string& a, const std::string& b) {
    const auto sa = stat_of(a);
    const auto sb = stat_of(b);
    if (sa && sb) {
        return same_inode(*sa, *sb) && !S_ISCHR(sa->st_mode);
    }
    const OutputTarget ta = resolve_target(a);
    const OutputTarget tb = resolve_target(b);
    const auto folder_a = stat_of(ta.folder);
    const auto folder_b = stat_of(tb.folder);
    return !ta.entry.empty() && ta.entry == tb.entry && folder_a && folder_b &&
           same_inode(*folder_a, *folder_b);
}

// True when the report's descriptor, standard output, is the file name leads to: a regular file
// or a block device that the report would be written into.
bool is_standard_output(const RunState& state, const std::string& name) {
    struct stat out;
    const auto st = stat_of(name);
    return st && fstat(state.report.descriptor(), &out) == 0 &&
           (S_ISREG(out.st_mode) || S_ISBLK(out.st_mode)) && same_inode(*st, out);
}

// Refuses name, with status, when it leads to the same file as other.
int refuse_same_file(RunState& state, const std::string& name, const std::string& other,
                     int status) {
    return same_file(name, other) ? report_failure(state, name, "Same file as " + other, status)
                                  : 0;
}

int refuse_standard_output(RunState& state, const std::string& name, int status) {
    return is_standard_output(state, name)
               ? report_failure(state, name, "Same file as standard output", status)
               : 0;
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
int open_and_measure(RunState& state) {
    std::uint64_t size = 0;
    if (!state.damaged.open(state.old_name.c_str()) || !state.damaged.measure(size)) {
        return report_file_error(state, state.old_name, errno, kOldOrNewFileFailed);
    }
    if (size >= kSizeLimit) {
        return report_file_error(state, state.old_name, EOVERFLOW, kOldOrNewFileFailed);
    }
    return 0;
}

}  // namespace

int open_damaged_file(RunState& state) {
    if (int status = refuse_damaged_file_kind(state)) {
        return status;
    }
    if (int status = open_and_measure(state)) {
        return status;
    }
    if (int status = refuse_standard_output(state, state.old_name, kOldOrNewFileFailed)) {
        return status;
    }
    if (state.has_map) {
        if (const MapFault fault = apply_rescue_map(state.map_name, state.damaged, kSizeLimit);
            !fault.ok()) {
            return report_map_failure(state, fault);
        }
    }
    return 0;
}

// A new file that is a FIFO is refused, since its header could not be patched; a deleted-records
// file may be a pipe: it is only written straight through.
int refuse_output_names(RunState& state) {
    if (const auto st = stat_of(state.new_name); st && S_ISFIFO(st->st_mode)) {
        return report_file_error(state, state.new_name, ESPIPE, kOldOrNewFileFailed);
    }
    if (int status = refuse_same_file(state, state.new_name, state.old_name, kOldOrNewFileFailed)) {
        return status;
    }
    if (int status = refuse_standard_output(state, state.new_name, kOldOrNewFileFailed)) {
        return status;
    }
    if (!state.has_deleted_file) {
        return 0;
    }
    for (const std::string* other : {&state.old_name, &state.new_name}) {
        if (int status = refuse_same_file(state, state.deleted_name, *other, kDeletedFileFailed)) {
            return status;
        }
    }
    return refuse_standard_output(state, state.deleted_name, kDeletedFileFailed);
}

// The output files get the damaged file's permission bits, as cp gives them: a deleted-records
// file holds deleted rows, which may be private.
int open_output_files(RunState& state) {
    const auto st = stat_of(state.old_name);
    const mode_t mode = st ? st->st_mode : 0600;
    if (!state.new_file.open(state.new_name, mode)) {
        return report_file_error(state, state.new_name, errno, kOldOrNewFileFailed);
    }
    if (state.has_deleted_file && !state.deleted_file.open(state.deleted_name, mode)) {
        return report_file_error(state, state.deleted_name, errno, kDeletedFileFailed);
    }
    return 0;
}

}  // namespace datmend
