// The banner and the completion summary: counts in signed decimal, "=" in column 30.
#include "driver/report.hpp"

#include <algorithm>

#include "driver/exit_status.hpp"

namespace datmend {

namespace {

// "<label><name>\n", written as it is: a name of any length costs no memory.
void print_name(Writer& out, const char* label, const std::string& name) {
    out.write(label);
    out.write(name.data(), name.size());
    out.write("\n");
}

}  // namespace

void print_banner(Writer& out, const Names& names) {
    out.write("VARQ Datmend Utility:\n");
    print_name(out, "              Input Filename = ", names.old_file);
    print_name(out, "             Output Filename = ", names.new_file);
    if (names.deleted_file) {
        print_name(out, "    Deleted Records Filename = ", *names.deleted_file);
    }
}

void print_summary(Writer& out, const Results& results, bool deleted_file_named) {
    const CopyCounts& counts = results.counts;
    out.write("\nDatmend Completion Information:\n");
    out.print("      Active Records Copied  = %d\n", static_cast<int>(counts.active));
    out.print(deleted_file_named ? "     Deleted Records Copied  = %d\n"
                                 : "     Deleted Records Removed = %d\n",
              static_cast<int>(counts.deleted));
    out.print("    Overhead Records Removed = %d\n", static_cast<int>(counts.overhead));
    out.print("           File Errors Found = %d\n", static_cast<int>(results.error_count));
    if (results.repaired != 0) {
        out.print("            Records Repaired = %d\n", static_cast<int>(results.repaired));
    }
    // Only a failing disk adds this line; every unreadable byte is also inside a dump.
    if (results.unreadable_bytes != 0) {
        out.print("    Unreadable Bytes Skipped = %d\n",
                  static_cast<int>(results.unreadable_bytes));
    }
    out.print("       New Eof Seek Location = %d\n", static_cast<int>(results.new_eof));
    out.print("  Space Allocation Reduction = %d bytes\n",
              static_cast<int>(static_cast<std::int32_t>(results.physical_eof - results.new_eof)));
    out.write("\n*** You MUST create a new '.key' file that matches your new '.dat' file!\n");
}

int exit_status_for(std::uint32_t error_count) {
    return static_cast<int>(std::min(error_count, static_cast<std::uint32_t>(kHighestErrorStatus)));
}

}  // namespace datmend
