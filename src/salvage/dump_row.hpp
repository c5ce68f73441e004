// One row of a discard dump: its position in the stretch as 8 hex digits, up to 16 bytes in
// hex, and the same bytes as text, "~" for what is not printable ASCII.
#pragma once

#include <cstddef>
#include <cstdint>

namespace datmend {

constexpr std::uint32_t kRowBytes = 16;
// "00000000: " + 16 x "XX " + "|" + 16 text characters + "|\n"
constexpr std::size_t kRowWidth = 10 + 3 * kRowBytes + 1 + kRowBytes + 2;

// True when this processor runs the vector path of format_row.
bool vector_rows_available();

// Formats rows full rows of 16 readable bytes each, labelled from index on, into the
// rows * kRowWidth bytes at p; vector_path as for format_row.
void format_full_rows(char* p, std::uint32_t index, const std::uint8_t* bytes, std::uint32_t rows,
                      bool vector_path);

// Formats one row of n bytes (1 <= n <= 16) labelled with index into the kRowWidth bytes at p.
// Where unreadable is given, a byte it marks shows as "??" and "~"; columns past n show as ".."
// and "~". vector_path (only where vector_rows_available()) gives the same bytes, faster.
void format_row(char* p, std::uint32_t index, const std::uint8_t* bytes,
                const std::uint8_t* unreadable, std::uint32_t n, bool vector_path);

}  // namespace datmend
