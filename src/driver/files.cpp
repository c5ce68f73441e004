// Refusals come first and name the file refused; the output files are created only once every
// name has passed.
#include "driver/files.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <optional>

#include "driver/exit_status.hpp"
#include "driver/failure.hpp"
#include "driver/map_failure.hpp"
#include "outputs/aliases.hpp"
#include "outputs/target.hpp"
#include "salvage/rescue_map.hpp"

namespace datmend {

namespace {

// Offsets are signed 32-bit in the format's header, so a file must stay below 2 GiB.
constexpr std::uint64_t kSizeLimit = std::uint64_t{1} << 31;

// True when the report, written into standard output (report_fd), and the file name leads to
// would write over each other: standard output is a regular file or a block device, and one of
// them reaches what the other stands on (a name not yet taken, the folder it is to be made in).
bool is_standard_output(int report_fd, const std::string& name, const OutputTarget& target) {
    struct stat out;
    if (fstat(report_fd, &out) != 0 || !(S_ISREG(out.st_mode) || S_ISBLK(out.st_mode))) {
        return false;
    }
    const auto st = stat_of(name);
    const auto on = st ? st : stat_of(target.folder);
    return (on && overlaps(reaches(out), stands_on(*on))) ||
           (st && overlaps(reaches(*st), stands_on(out)));
}

int refuse_standard_output(int report_fd, std::FILE* err, const std::string& name,
                           const OutputTarget& target, int status) {
    return is_standard_output(report_fd, name, target)
               ? report_failure(err, name, "Same file as standard output", status)
               : 0;
}

// Refuses the output at index i of outputs when its name cannot be followed, or it is a FIFO and
// must be patched, or it leads to the damaged file, to an output before it, to a name that no
// output may be, or to standard output.
int refuse_output(const Outputs& outputs, const Output& output, std::size_t i,
                  const std::string& old_file, int report_fd, std::FILE* err) {
    if (output.target.errnum != 0) {
        return report_file_error(err, output.name, output.target.errnum, output.status);
    }
    if (const auto st = stat_of(output.name);
        output.kind == Output::Kind::patched && st && S_ISFIFO(st->st_mode)) {
        return report_file_error(err, output.name, ESPIPE, output.status);
    }
    if (same_file(output.name, output.target, old_file, resolve_target(old_file))) {
        return report_failure(err, output.name, "Same file as " + old_file, output.status);
    }
    std::size_t j = 0;
    for (const Output& other : outputs) {
        const bool compared = j < i || (j > i && other.kind == Output::Kind::guarded);
        if (compared && same_file(output.name, output.target, other.name, other.target)) {
            return report_failure(err, output.name, "Same file as " + other.name, output.status);
        }
        ++j;
    }
    return refuse_standard_output(report_fd, err, output.name, output.target, output.status);
}

// Refuses old_file, before it is opened, when it is a FIFO, which would wait for a writer and
// cannot seek, or a directory.
int refuse_damaged_file_kind(const std::string& old_file, std::FILE* err) {
    const auto st = stat_of(old_file);
    if (st && S_ISFIFO(st->st_mode)) {
        return report_file_error(err, old_file, ESPIPE, kOldOrNewFileFailed);
    }
    if (st && S_ISDIR(st->st_mode)) {
        return report_file_error(err, old_file, EISDIR, kOldOrNewFileFailed);
    }
    return 0;
}

// Opens old_file as file and takes its size as physical_eof, refusing a file of 2 GiB or more,
// whose offsets the format cannot hold.
int open_and_measure(const std::string& old_file, DamagedFile& file, std::FILE* err) {
    std::uint64_t size = 0;
    if (!file.open(old_file.c_str()) || !file.measure(size)) {
        return report_file_error(err, old_file, errno, kOldOrNewFileFailed);
    }
    if (size >= kSizeLimit) {
        return report_file_error(err, old_file, EOVERFLOW, kOldOrNewFileFailed);
    }
    return 0;
}

}  // namespace

int open_damaged_file(const Names& names, DamagedFile& file, int report_fd, std::FILE* err) {
    if (int status = refuse_damaged_file_kind(names.old_file, err)) {
        return status;
    }
    if (int status = open_and_measure(names.old_file, file, err)) {
        return status;
    }
    if (int status = refuse_standard_output(report_fd, err, names.old_file,
                                            resolve_target(names.old_file), kOldOrNewFileFailed)) {
        return status;
    }
    if (names.mapfile) {
        if (const MapFault fault = apply_rescue_map(*names.mapfile, file, kSizeLimit);
            !fault.ok()) {
            return report_map_failure(err, *names.mapfile, names.old_file, fault);
        }
    }
    return 0;
}

// A new file that is a FIFO is refused, since its header could not be patched; a deleted-records
// file may be a pipe: it is only written straight through.
int refuse_output_names(Outputs& outputs, const std::string& old_file, int report_fd,
                        std::FILE* err) {
    for (Output& output : outputs) {
        output.target = resolve_target(output.name);
    }
    std::size_t i = 0;
    for (const Output& output : outputs) {
        if (output.kind != Output::Kind::guarded) {
            if (int status = refuse_output(outputs, output, i, old_file, report_fd, err)) {
                return status;
            }
        }
        ++i;
    }
    return 0;
}

// The output files get the damaged file's permission bits, as cp gives them: a deleted-records
// file holds deleted rows, which may be private.
int open_output_files(Outputs& outputs, const DamagedFile& file, std::FILE* err) {
    struct stat st;
    const mode_t mode = file.status(st) ? st.st_mode : 0600;
    for (Output& output : outputs) {
        if (output.kind == Output::Kind::guarded) {
            continue;
        }
        if (const int errnum = output.file.open(output.name, output.target, mode)) {
            return report_file_error(err, output.name, errnum, output.status);
        }
    }
    for (Output& output : outputs) {
        if (const int errnum = output.file.empty_in_place()) {
            return report_file_error(err, output.name, errnum, output.status);
        }
    }
    return 0;
}

}  // namespace datmend
