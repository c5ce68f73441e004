// Refusals come in the table's order, and within an output from the cheapest to the dearest: its
// name, its kind, the names before it, the content of the damaged file, standard output.
#include "outputs/refusals.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "outputs/content.hpp"

namespace datmend {

namespace {

Refusal failed(const Output& entry, int errnum) {
    return {Refusal::Kind::failed, &entry, errnum, nullptr};
}

// The second witness that an output is a file read (open as read_fd), where the numbers of the
// two differ: an existing regular file of the same size and modification time, to the second as
// passthrough filesystems round it, or a block device of the same size (in whole sectors, as a
// loop device has it), with the same bytes where compared. It is the file by another path or
// through a loop device on another layer of an overlay, or a copy made with its times kept,
// which the user would not want replaced either.
bool same_content_as(const Target& output, int read_fd) {
    struct stat read;
    const bool device = S_ISBLK(output.st.st_mode);
    if (!output.exists() || fstat(read_fd, &read) != 0 || !S_ISREG(read.st_mode) ||
        (!device && (!S_ISREG(output.st.st_mode) || output.st.st_size != read.st_size ||
                     output.st.st_mtim.tv_sec != read.st_mtim.tv_sec))) {
        return false;
    }
    const int fd = reopen(output, O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        return true;  // a file that cannot be read is left out of the comparison
    }
    auto size = static_cast<std::uint64_t>(read.st_size);
    std::uint64_t device_size = 0;
    const bool sized = !device || (ioctl(fd, BLKGETSIZE64, &device_size) == 0 &&
                                   (device_size == size || device_size == size / 512 * 512));
    const bool same = sized && same_content(fd, read_fd, device ? device_size : size);
    ::close(fd);
    return same;
}

// The same against the entry other, a file read that is not open any more (the mapfile).
bool same_content_as_entry(const Target& output, const Target& other) {
    if (!other.exists() || !S_ISREG(other.st.st_mode)) {
        return false;
    }
    const int fd = reopen(other, O_RDONLY | O_NONBLOCK);
    const bool same = fd >= 0 && same_content_as(output, fd);
    if (fd >= 0) {
        ::close(fd);
    }
    return same;
}

// One output against the entries of the table: every one before it, and the files read after.
Refusal refuse_as_alias(const Outputs& outputs, const Output& output, int damaged_fd) {
    bool before = true;
    for (const Output& other : outputs) {
        if (&other == &output) {
            before = false;
            continue;
        }
        if (!before && other.written()) {
            continue;
        }
        if (same_file(output.target, other.target) ||
            (other.kind == Output::Kind::damaged && same_content_as(output.target, damaged_fd)) ||
            (other.kind == Output::Kind::map &&
             same_content_as_entry(output.target, other.target))) {
            return {Refusal::Kind::same_file, &output, 0, &other};
        }
    }
    return {};
}

}  // namespace

Refusal refuse_reading(const Output& entry) {
    const Target& t = entry.target;
    if (t.errnum != 0) {
        return failed(entry, t.errnum);
    }
    if (entry.kind == Output::Kind::damaged && S_ISFIFO(t.st.st_mode)) {
        return failed(entry, ESPIPE);
    }
    if (S_ISDIR(t.st.st_mode)) {
        return failed(entry, EISDIR);
    }
    return {};
}

Refusal refuse_standard_output(const Output& entry, int report_fd) {
    struct stat out;
    const Target& t = entry.target;
    if (fstat(report_fd, &out) != 0) {
        return {};
    }
    // The pipe the report goes down, as /dev/stdout: data would be mixed into the report.
    if (S_ISFIFO(out.st_mode) && t.exists() && S_ISFIFO(t.st.st_mode) &&
        t.st.st_dev == out.st_dev && t.st.st_ino == out.st_ino) {
        return {Refusal::Kind::standard_output, &entry, 0, nullptr};
    }
    if (!(S_ISREG(out.st_mode) || S_ISBLK(out.st_mode))) {
        return {};
    }
    if (overlaps(reaches(out), t.stands) || (t.exists() && overlaps(t.reaches, stands_on(out)))) {
        return {Refusal::Kind::standard_output, &entry, 0, nullptr};
    }
    return {};
}

// A new file that is a FIFO is refused, since its header could not be patched; a deleted-records
// file may be a pipe: it is only written straight through.
Refusal refuse_outputs(const Outputs& outputs, int damaged_fd, int report_fd) {
    for (const Output& output : outputs) {
        if (!output.written()) {
            continue;
        }
        const Target& t = output.target;
        if (t.errnum != 0) {
            return failed(output, t.errnum);
        }
        if (t.planted) {
            return failed(output, EACCES);
        }
        if (t.exists() && S_ISDIR(t.st.st_mode)) {
            return failed(output, EISDIR);
        }
        if (t.exists() && output.kind == Output::Kind::patched && S_ISFIFO(t.st.st_mode)) {
            return failed(output, ESPIPE);
        }
        if (const Refusal r = refuse_as_alias(outputs, output, damaged_fd); !r.ok()) {
            return r;
        }
        if (const Refusal r = refuse_standard_output(output, report_fd); !r.ok()) {
            return r;
        }
    }
    return {};
}

}  // namespace datmend
