// Refusals come first and name the file refused; the output files are created only once every
// name has passed.
#include "driver/files.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <optional>

#include "driver/aliases.hpp"
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

// True when the report's descriptor, standard output, is the file name leads to: a regular file
// or a block device that the report would be written into.
bool is_standard_output(const RunState& state, const std::string& name) {
    struct stat out;
    const auto st = stat_of(name);
    return st && fstat(state.report.descriptor(), &out) == 0 &&
           (S_ISREG(out.st_mode) || S_ISBLK(out.st_mode)) && same_object(*st, out);
}

int refuse_standard_output(RunState& state, const std::string& name, int status) {
    return is_standard_output(state, name)
               ? report_failure(state, name, "Same file as standard output", status)
               : 0;
}

// True when writing output would write over the damaged file: under another name, or as a block
// device that holds it.
bool reaches_damaged_file(const RunState& state, const Output& output) {
    if (same_file(output.name, output.target, state.old_name, resolve_target(state.old_name))) {
        return true;
    }
    const auto device = stat_of(output.name);
    const auto old = stat_of(state.old_name);
    return device && old && holds_file(output.name, *device, *old);
}

// Refuses the output at index i of the table when its name cannot be followed, or it is a FIFO
// and must be patched, or it leads to the damaged file, to an output before it, to a name that
// no output may be, or to standard output. Returns 0 or the exit status.
int refuse_output(RunState& state, const Output& output, std::size_t i) {
    if (output.target.errnum != 0) {
        return report_file_error(state, output.name, output.target.errnum, output.status);
    }
    if (const auto st = stat_of(output.name);
        output.kind == Output::Kind::patched && st && S_ISFIFO(st->st_mode)) {
        return report_file_error(state, output.name, ESPIPE, output.status);
    }
    if (reaches_damaged_file(state, output)) {
        return report_failure(state, output.name, "Same file as " + state.old_name, output.status);
    }
    std::size_t j = 0;
    for (const Output& other : state.outputs) {
        const bool compared = j < i || (j > i && other.kind == Output::Kind::guarded);
        if (compared && same_file(output.name, output.target, other.name, other.target)) {
            return report_failure(state, output.name, "Same file as " + other.name, output.status);
        }
        ++j;
    }
    return refuse_standard_output(state, output.name, output.status);
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
    for (Output& output : state.outputs) {
        output.target = resolve_target(output.name);
    }
    std::size_t i = 0;
    for (const Output& output : state.outputs) {
        if (output.kind != Output::Kind::guarded) {
            if (int status = refuse_output(state, output, i)) {
                return status;
            }
        }
        ++i;
    }
    return 0;
}

// The output files get the damaged file's permission bits, as cp gives them: a deleted-records
// file holds deleted rows, which may be private.
int open_output_files(RunState& state) {
    const auto st = stat_of(state.old_name);
    const mode_t mode = st ? st->st_mode : 0600;
    for (Output& output : state.outputs) {
        if (output.kind == Output::Kind::guarded) {
            continue;
        }
        if (const int errnum = output.file.open(output.name, output.target, mode)) {
            return report_file_error(state, output.name, errnum, output.status);
        }
    }
    return 0;
}

}  // namespace datmend
