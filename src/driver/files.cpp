// Refusals come first and name the file refused; the output files are created only once every
// name has passed.
#include "driver/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <initializer_list>
#include <optional>

#include "driver/exit_status.hpp"
#include "driver/failure.hpp"

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
    return open_and_measure(state);
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

}  // namespace datmend
