// Header report and header checks; every line is the tool's fixed wording, "=" in column 30.
#include "format/header.hpp"

namespace datmend {

void print_header_report(Report& out, const FileHeader& h) {
    out.put("\nFile Header Information:\n");
    out.print("           File Organization = %d ", static_cast<int>(h.organization));
    if (is_fixed_length(h) && h.organization <= kHighestOrganization) {
        out.put("( Fixed Length Records )\n");
        out.print("               Record Length = %d\n", static_cast<int>(h.record_length));
    } else {
        out.put("( Variable Length Records )\n");
        out.put("               Record Length = (var)\n");
    }
    out.print("              Tavrel Version = %d\n", static_cast<int>(h.fm_version));
    out.print("   Freelist Starting Address = %d\n", static_cast<int>(h.freelist_address));
    out.print("         End of File Address = %d\n", static_cast<int>(h.eof_address));
}

bool check_header(Report& out, const FileHeader& h, std::uint32_t physical_eof) {
    if (h.organization > kHighestOrganization) {
        out.put("ERROR!!  Wrong File Organization!\n");
        return false;
    }
    if (h.fm_version != kFileManagerVersion) {
        out.put("ERROR!!  Wrong File Manager Version!\n");
        return false;
    }
    if (static_cast<std::uint32_t>(h.eof_address) != physical_eof) {
        out.put("\n*** WARNING *** The Physical EOF does not match the file Header!\n");
        out.print("                  (Physical End of File is at %d)\n",
                  static_cast<int>(physical_eof));
    }
    return true;
}

}  // namespace datmend
