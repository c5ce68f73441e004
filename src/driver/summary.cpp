// Completion summary: counts in signed decimal, "=" in column 30.
#include "driver/summary.hpp"

#include <algorithm>

#include "driver/exit_status.hpp"

namespace datmend {

int print_summary(RunState& state) {
    const SalvageState& s = state.salvage;
    const CopyCounts& counts = state.counts;
    Report& out = state.salvage.report;
    out.put("\nDatmend Completion Information:\n");
    out.print("      Active Records Copied  = %d\n", static_cast<int>(counts.active));
    out.print(state.has_deleted_file ? "     Deleted Records Copied  = %d\n"
                                     : "     Deleted Records Removed = %d\n",
              static_cast<int>(counts.deleted));
    out.print("    Overhead Records Removed = %d\n", static_cast<int>(counts.overhead));
    out.print("           File Errors Found = %d\n", static_cast<int>(s.error_count));
    // Only a failing disk adds this line; every unreadable byte is also inside a dump.
    if (const std::uint64_t unreadable = s.damaged.unreadable_bytes(); unreadable != 0) {
        out.print("    Unreadable Bytes Skipped = %d\n", static_cast<int>(unreadable));
    }
    out.print("       New Eof Seek Location = %d\n", static_cast<int>(state.new_eof));
    out.print("  Space Allocation Reduction = %d bytes\n",
              static_cast<int>(static_cast<std::int32_t>(s.physical_eof - state.new_eof)));
    out.put("\n*** You MUST create a new '.key' file that matches your new '.dat' file!\n");
    return static_cast<int>(
        std::min(s.error_count, static_cast<std::uint32_t>(kHighestErrorStatus)));
}

}  // namespace datmend
