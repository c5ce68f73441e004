// Properties every salvage must have, whatever the damaged file holds and however the disk
// fails. Shared by the tests and the fuzz target; nothing here holds a whole report in memory,
// so that the fuzz target's bound on allocations measures the tool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "faulty_disk.hpp"
#include "salvage/damaged_file.hpp"

namespace testkit {

// Everything written to the descriptor fd so far, read from its start.
std::string read_all(int fd);

// One row of a dump as the tool must print it, newline included: n bytes (n <= 16) at index
// within the stretch, lost marking (where given) those that could not be read.
std::string dump_row(const std::uint8_t* bytes, const std::uint8_t* lost, std::uint32_t n,
                     std::uint32_t index);

// One run of the tool in-process, with what the checker needs of its state.
struct InProcessRun {
    int status = 0;
    std::string report;           // standard output, then standard error; "" when not kept
    std::uint64_t accounted = 0;  // bytes of all records met, with framing, plus dumped bytes
    std::uint32_t errors = 0;
    std::uint32_t active = 0;
};

// Runs the tool on these file names (without the program's name); the damaged file is read
// through read when it is given, as through a failing disk. The report goes to report_fd when
// it is given (and is not kept), else into the result.
InProcessRun salvage(const std::vector<std::string>& names,
                     const datmend::DamagedFile::ReadFunction& read = {}, int report_fd = -1);

// Salvages dir/old.dat in-process in the folder dir, through disk when it is given, with and
// without a deleted-records file, then salvages the new file again, and returns a description
// of the first broken property, or "" when all hold:
// - the damaged file is not modified, and a file header that is short, unreadable or refused
//   stops the run with status 4 or 9;
// - the exit status is the number of dumps, capped;
// - every byte after the header block is copied, dropped as a record, or dumped;
// - every dump shows the file's bytes, and "??" exactly where they could not be read, and the
//   summary counts every unreadable byte, and no sector found unreadable is read again;
// - the new file's eof_address is its size, its freelist is empty, its records are 0, 1, 2...;
// - the new file is clean: salvaged again it gives no errors, no warning, the same bytes.
std::string check_salvage(const std::string& dir, FaultyDisk* disk = nullptr);

// The same for a damaged file given as bytes, on a healthy disk.
std::string check_salvage(const std::uint8_t* data, std::size_t size, const std::string& dir);

}  // namespace testkit
