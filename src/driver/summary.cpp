// Completion summary: counts in signed decimal, "=" in column 30.
#include "driver/summary.hpp"

#include <algorithm>

#include "driver/exit_status.hpp"

namespace datmend {

void print_summary(RunState& state) {
    const CopyCounts& counts = state.counts;
    Writer& out = state.report;
    out.write("\nDatmend Completion Information:\n");
    out.print("      Active Records Copied  = %d\n", static_cast<int>(counts.active));
    out.print(state.has_deleted_file ? "     Deleted Records Copied  = %d\n"
                                     : "     Deleted Records Removed = %d\n",
              static_cast<int>(counts.deleted));
    out.print("    Overhead Records Removed = %d\n", static_cast<int>(counts.overhead));
    out.print("           File Errors Found = %d\n", static_cast<int>(state.damage.error_count));
    // Only a failing disk adds this line; every unreadable byte is also inside a dump.
    if (const std::uint64_t unreadable = state.damaged.unreadable_bytes(); unreadable != 0) {
        out.print("    Unreadable Bytes Skipped = %d\n", static_cast<int>(unreadable));
    }
    out.print("       New Eof Seek Location = %d\n", static_cast<int>(state.new_eof));
    const std::uint32_t physical_eof = state.damaged.physical_eof();
    out.print("  Space Allocation Reduction = %d bytes\n",
              static_cast<int>(static_cast<std::int32_t>(physical_eof - state.new_eof)));
    out.write("\n*** You MUST create a new '.key' file that matches your new '.dat' file!\n");
}

int exit_status_for(std::uint32_t error_count) {
    return static_cast<int>(std::min(error_count, static_cast<std::uint32_t>(kHighestErrorStatus)));
}

}  // namespace datmend
