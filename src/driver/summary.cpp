// Completion summary: counts in signed decimal, "=" in column 30.
#include "driver/summary.hpp"

#include <algorithm>

#include "driver/exit_status.hpp"

namespace datmend {

int print_summary(const RunState& state) {
    const SalvageState& s = state.salvage;
    const CopyCounts& counts = state.counts;
    std::FILE* out = s.out;
    std::fputs("\nDatmend Completion Information:\n", out);
    std::fprintf(out, "      Active Records Copied  = %d\n", static_cast<int>(counts.active));
    std::fprintf(out,
                 state.has_deleted_file ? "     Deleted Records Copied  = %d\n"
                                        : "     Deleted Records Removed = %d\n",
                 static_cast<int>(counts.deleted));
    std::fprintf(out, "    Overhead Records Removed = %d\n", static_cast<int>(counts.overhead));
    std::fprintf(out, "           File Errors Found = %d\n", static_cast<int>(s.error_count));
    // Only a failing disk adds this line; every unreadable byte is also inside a dump.
    if (const std::uint64_t unreadable = s.damaged.unreadable_bytes(); unreadable != 0) {
        std::fprintf(out, "    Unreadable Bytes Skipped = %d\n", static_cast<int>(unreadable));
    }
    std::fprintf(out, "       New Eof Seek Location = %d\n", static_cast<int>(state.new_eof));
    std::fprintf(out, "  Space Allocation Reduction = %d bytes\n",
                 static_cast<int>(static_cast<std::int32_t>(s.physical_eof - state.new_eof)));
    std::fputs("\n*** You MUST create a new '.key' file that matches your new '.dat' file!\n", out);
    return static_cast<int>(
        std::min(s.error_count, static_cast<std::uint32_t>(kHighestErrorStatus)));
}

}  // namespace datmend
