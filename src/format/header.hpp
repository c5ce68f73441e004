// The header report printed after the banner, and the checks that decide whether a file
// may be salvaged at all.
#pragma once

#include <cstdint>
#include "format/layout.hpp"
#include "io/report.hpp"

namespace datmend {

void print_header_report(Report& out, const FileHeader& h);

// Returns false after printing the error line when the organization or the file manager
// version is refused; warns, and still returns true, when eof_address is not physical_eof.
bool check_header(Report& out, const FileHeader& h, std::uint32_t physical_eof);

}  // namespace datmend
