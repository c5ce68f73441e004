// The refusals of a run's files, each made from the table's resolved names before anything is
// created, opened for writing or emptied; each returns what it found, for the driver to word.
#pragma once

#include "outputs/outputs.hpp"

namespace datmend {

// Why a file of the run may not be used: nothing (Kind::none), or the first reason found, with
// the entry refused. Which fields a kind fills is said beside it; the others are 0 or nullptr.
struct Refusal {
    enum class Kind {
        none,
        failed,           // errnum: the name cannot be followed, or the file is of a kind refused
        same_file,        // other: the entry that it is the same file as
        standard_output,  // the report would be written into it, or it into the report
    };
    Kind kind = Kind::none;
    const Output* refused = nullptr;
    int errnum = 0;
    const Output* other = nullptr;

    bool ok() const { return kind == Kind::none; }
};

// A file to read (the damaged file, the mapfile), before it is opened: a name that cannot be
// followed, a folder, and for the damaged file a FIFO, which would wait for a writer and cannot
// seek.
Refusal refuse_reading(const Output& entry);

// The file of entry, open, where the report, written into standard output (report_fd), and the
// file would write over each other: standard output is a regular file or a block device, and one
// of them reaches what the other stands on (for a name not yet taken, the folder it is to be
// made in).
Refusal refuse_standard_output(const Output& entry, int report_fd);

// Every output, in the table's order: one whose name cannot be followed or was planted in a
// shared folder, a folder, a FIFO that must be patched, one that would write over an entry before
// it or a file read after it, under any name or through any block device, one that is the damaged
// file by its content (damaged_fd, open), or one that is standard output.
Refusal refuse_outputs(const Outputs& outputs, int damaged_fd, int report_fd);

}  // namespace datmend
