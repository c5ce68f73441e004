// Refusals come in the table's order, and within an output from the cheapest to the dearest: its
// name, its kind, the names before it, the content of the damaged file, standard output.
#include "outputs/refusals.hpp"

#include <fcntl.h>
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

// The second witness that an output is the damaged file (open as damaged_fd), where the numbers
// of the two differ: an existing regular file of the same size and modification time, to the
// second as passthrough filesystems round it, with the same bytes where compared. It is the
// damaged file by another path, or a copy made with its times kept, which the user would not
// want replaced either.
bool same_content_as(const Target& output, int damaged_fd) {
    struct stat damaged;
    if (!output.exists() || !S_ISREG(output.st.st_mode) || fstat(damaged_fd, &damaged) != 0 ||
        !S_ISREG(damaged.st_mode) || output.st.st_size != damaged.st_size ||
        output.st.st_mtim.tv_sec != damaged.st_mtim.tv_sec) {
        return false;
    }
    const int fd = reopen(output, O_RDONLY | O_NONBLOCK);
    // What cannot be read is left out of the comparison, and so is a file that cannot be read.
    const bool same =
        fd < 0 || same_content(fd, damaged_fd, static_cast<std::uint64_t>(damaged.st_size));
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
            (other.kind == Output::Kind::damaged && same_content_as(output.target, damaged_fd))) {
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
    if (fstat(report_fd, &out) != 0 || !(S_ISREG(out.st_mode) || S_ISBLK(out.st_mode))) {
        return {};
    }
    const Target& t = entry.target;
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
