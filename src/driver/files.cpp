// Refusals come first and name the file refused; the output files are created only once every
// name has passed. Every name is resolved once, at the start, and judged and opened from there.
#include "driver/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "driver/exit_status.hpp"
#include "driver/failure.hpp"
#include "driver/map_failure.hpp"
#include "outputs/refusals.hpp"
#include "salvage/rescue_map.hpp"

namespace datmend {

namespace {

// Offsets are signed 32-bit in the format's header, so a file must stay below 2 GiB.
constexpr std::uint64_t kSizeLimit = std::uint64_t{1} << 31;

// Reads the map of a rescued copy into file, or refuses it.
int apply_map(Output& map, const Output& damaged, DamagedFile& file, std::FILE* err) {
    if (const Refusal r = refuse_reading(map); !r.ok()) {
        return report_refusal(err, r);
    }
    // Opened without waiting for a writer: a FIFO that nobody writes is an empty map, not a run
    // that hangs for ever; reads then wait for the data, as from a pipe (-m <(zcat map.gz)).
    const int fd = open_to_read(map.target, O_NONBLOCK);
    const int flags = fd < 0 ? -1 : fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        const int errnum = errno;
        if (fd >= 0) {
            close(fd);
        }
        return report_file_error(err, map.name, errnum, map.status);
    }
    if (const MapFault fault = apply_rescue_map(fd, file, kSizeLimit); !fault.ok()) {
        return report_map_failure(err, map.name, damaged.name, fault);
    }
    return 0;
}

}  // namespace

Outputs plan_files(const Names& names, const SystemCalls& calls) {
    Outputs outputs(calls);
    outputs.add(names.old_file, Output::Kind::damaged, kOldOrNewFileFailed);
    if (names.new_file) {
        outputs.add(*names.new_file, Output::Kind::patched, kOldOrNewFileFailed);
    }
    if (names.deleted_file) {
        outputs.add(*names.deleted_file, Output::Kind::streamed, kDeletedFileFailed);
    }
    if (names.lost_map) {
        outputs.add(*names.lost_map, Output::Kind::lost_map, kDeletedFileFailed);
    }
    if (names.mapfile) {
        outputs.add(*names.mapfile, Output::Kind::map, kOldOrNewFileFailed);
    }
    outputs.plan();
    return outputs;
}

// A file of 2 GiB or more is refused: the format's offsets cannot hold it.
int open_damaged_file(Outputs& outputs, DamagedFile& file, int report_fd, std::FILE* err) {
    Output& damaged = *outputs.find(Output::Kind::damaged);
    if (const Refusal r = refuse_reading(damaged); !r.ok()) {
        return report_refusal(err, r);
    }
    std::uint64_t size = 0;
    if (!file.adopt(open_to_read(damaged.target)) || !file.measure(size)) {
        return report_file_error(err, damaged.name, errno, damaged.status);
    }
    if (size >= kSizeLimit) {
        return report_file_error(err, damaged.name, EOVERFLOW, damaged.status);
    }
    if (const Refusal r = refuse_standard_output(damaged, report_fd); !r.ok()) {
        return report_refusal(err, r);
    }
    Output* map = outputs.find(Output::Kind::map);
    return map != nullptr ? apply_map(*map, damaged, file, err) : 0;
}

int refuse_output_names(const Outputs& outputs, const DamagedFile& file, int report_fd,
                        std::FILE* err) {
    const Refusal r = refuse_outputs(outputs, file.descriptor(), report_fd);
    return r.ok() ? 0 : report_refusal(err, r);
}

// The output files get the damaged file's permission bits, as cp gives them: a deleted-records
// file holds deleted rows, which may be private. Files written in place are emptied only once
// every output is open.
int open_output_files(Outputs& outputs, const DamagedFile& file, bool dry_run, std::FILE* err) {
    struct stat st;
    const mode_t mode = file.status(st) ? st.st_mode : 0600;
    for (Output& output : outputs) {
        if (output.written() && (!dry_run || output.kind == Output::Kind::lost_map)) {
            if (const int errnum = output.file.open(output.target, mode)) {
                return report_file_error(err, output.name, errnum, output.status);
            }
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
