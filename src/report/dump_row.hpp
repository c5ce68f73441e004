// One row of a discard dump: its position in the stretch as 8 hex digits, up to 16 bytes in
// hex, and the same bytes as text, "~" for what is not printable ASCII.
#pragma once

#include <cstddef>
#include <cstdint>

namespace datmend {

constexpr std::uint32_t kRowBytes = 16;
// "00000000: " + 16 x "XX " + "|" + 16 text characters + "|\n"
constexpr std::size_t kRowWidth = 10 + 3 * kRowBytes + 1 + kRowBytes + 2;

// The ways of formatting full rows, which give the same bytes: portable C++ for any processor,
// and on x86-64 SSSE3's byte shuffles. (AVX2's two rows at a time gained 5% on a file that is one
// dumped stretch, and 1% where a quarter of the file is: not worth a third path.)
enum class RowPath { portable, ssse3 };

// The fastest path this processor runs; every path before it in RowPath runs too.
RowPath fastest_row_path();

// Formats rows full rows of 16 readable bytes each, labelled from index on, into the
// rows * kRowWidth bytes at p.
void format_full_rows(char* p, std::uint32_t index, const std::uint8_t* bytes, std::uint32_t rows,
                      RowPath path);

// Formats one row of n bytes (1 <= n <= 16) labelled with index into the kRowWidth bytes at p.
// Where unreadable is given, a byte it marks shows as "??" and "~"; columns past n show as ".."
// and "~".
void format_row(char* p, std::uint32_t index, const std::uint8_t* bytes,
                const std::uint8_t* unreadable, std::uint32_t n, RowPath path);

}  // namespace datmend
