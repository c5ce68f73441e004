// Properties every salvage must have, whatever the damaged file holds. Shared by the property
// test and the fuzz target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace testkit {

// Salvages the damaged bytes in-process in the folder dir (with and without a deleted-records
// file, then salvages the new file again) and returns a description of the first broken
// property, or "" when all hold:
// - every byte after the header block is copied, dropped as a record, or dumped;
// - the new file is clean: salvaged again it gives no errors, no warning, the same bytes;
// - the new file's eof_address is its size, its freelist is empty, its records are 0, 1, 2...;
// - the damaged file is not modified.
std::string check_salvage(const std::uint8_t* data, std::size_t size, const std::string& dir);

}  // namespace testkit
