// Header report and header checks; every line is the tool's fixed wording, "=" in column 30.
#include "format/header.hpp"

namespace datmend {

void print_header_report(std::FILE* out, const FileHeader& h) {
    std::fputs("\nFile Header Information:\n", out);
    std::fprintf(out, "           File Organization = %d ", static_cast<int>(h.organization));
    if (is_fixed_length(h) && h.organization <= kHighestOrganization) {
        std::fputs("( Fixed Length Records )\n", out);
        std::fprintf(out, "               Record Length = %d\n", static_cast<int>(h.record_length));
    } else {
        std::fputs("( Variable Length Records )\n", out);
        std::fputs("               Record Length = (var)\n", out);
    }
    std::fprintf(out, "              Tavrel Version = %d\n", static_cast<int>(h.fm_version));
    std::fprintf(out, "   Freelist Starting Address = %d\n", static_cast<int>(h.freelist_address));
    std::fprintf(out, "         End of File Address = %d\n", static_cast<int>(h.eof_address));
}

bool check_header(std::FILE* out, const FileHeader& h, std::uint32_t physical_eof) {
    if (h.organization > kHighestOrganization) {
        std::fputs("ERROR!!  Wrong File Organization!\n", out);
        return false;
    }
    if (h.fm_version != kFileManagerVersion) {
        std::fputs("ERROR!!  Wrong File Manager Version!\n", out);
        return false;
    }
    if (static_cast<std::uint32_t>(h.eof_address) != physical_eof) {
        std::fputs("\n*** WARNING *** The Physical EOF does not match the file Header!\n", out);
        std::fprintf(out, "                  (Physical End of File is at %d)\n",
                     static_cast<int>(physical_eof));
    }
    return true;
}

}  // namespace datmend
