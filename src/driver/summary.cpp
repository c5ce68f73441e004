// Completion summary: counts in signed decimal, "=" in column 30.
#include "driver/summary.hpp"

#include <algorithm>

namespace datmend {

namespace {

constexpr std::uint32_t kHighestStatus = 255;

}  // namespace

int print_summary(const RunState& state, const CopyCounts& counts, std::uint32_t new_eof) {
    std::FILE* out = state.out;
    std::fputs("\nDatmend Completion Information:\n", out);
    std::fprintf(out, "      Active Records Copied  = %d\n", static_cast<int>(counts.active));
    std::fprintf(out,
                 state.has_deleted_file ? "     Deleted Records Copied  = %d\n"
                                        : "     Deleted Records Removed = %d\n",
                 static_cast<int>(counts.deleted));
    std::fprintf(out, "    Overhead Records Removed = %d\n", static_cast<int>(counts.overhead));
    std::fprintf(out, "           File Errors Found = %d\n", static_cast<int>(state.error_count));
    std::fprintf(out, "       New Eof Seek Location = %d\n", static_cast<int>(new_eof));
    std::fprintf(out, "  Space Allocation Reduction = %d bytes\n",
                 static_cast<int>(static_cast<std::int32_t>(state.physical_eof - new_eof)));
    std::fputs("\n*** You MUST create a new '.key' file that matches your new '.dat' file!\n", out);
    return static_cast<int>(std::min(state.error_count, kHighestStatus));
}

}  // namespace datmend
