// Properties every salvage must have, whatever the damaged file holds. Shared by the property
// test and the fuzz target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "salvage/damaged_file.hpp"

namespace testkit {

// Everything written to the descriptor fd so far, read from its start.
std::string read_all(int fd);

// One run of the tool in-process, with what the checker needs of its state.
struct InProcessRun {
    int status = 0;
    std::string report;           // standard output and standard error, as they came
    std::uint64_t accounted = 0;  // bytes of all records met, with framing, plus dumped bytes
    std::uint32_t errors = 0;
    std::uint32_t active = 0;
};

// Runs the tool on these file names (without the program's name); the damaged file is read
// through read when it is given, as through a failing disk.
InProcessRun salvage(const std::vector<std::string>& names,
                     const datmend::DamagedFile::ReadFunction& read = {});

// Salvages the damaged bytes in-process in the folder dir (with and without a deleted-records
// file, then salvages the new file again) and returns a description of the first broken
// property, or "" when all hold:
// - every byte after the header block is copied, dropped as a record, or dumped;
// - the new file is clean: salvaged again it gives no errors, no warning, the same bytes;
// - the new file's eof_address is its size, its freelist is empty, its records are 0, 1, 2...;
// - the damaged file is not modified.
std::string check_salvage(const std::uint8_t* data, std::size_t size, const std::string& dir);

}  // namespace testkit
