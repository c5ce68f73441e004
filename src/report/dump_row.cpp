// Dump rows, formatted by hand from tables. A full row's columns have two paths that give the
// same bytes: a portable one, and on x86-64 processors one with SSSE3's byte shuffles.
#include "report/dump_row.hpp"

#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define DATMEND_VECTOR_ROWS 1
#include <immintrin.h>
#else
#define DATMEND_VECTOR_ROWS 0
#endif

namespace datmend {

namespace {

constexpr std::size_t kLabelWidth = 10;
constexpr std::size_t kTextAt = kLabelWidth + 3 * kRowBytes + 1;
static_assert(kTextAt + kRowBytes + 2 == kRowWidth);

// For every byte value: its two hex digits and a blank (and a pad, so that a column is one
// 4-byte store), and what the text column shows for it.
struct RowTables {
    char hex[256][4];
    char text[256];
};

constexpr RowTables make_tables() {
    constexpr char digits[] = "0123456789ABCDEF";
    RowTables t{};
    for (int b = 0; b < 256; ++b) {
        t.hex[b][0] = digits[b >> 4];
        t.hex[b][1] = digits[b & 0xF];
        t.hex[b][2] = ' ';
        t.hex[b][3] = ' ';
        t.text[b] = b >= 0x20 && b <= 0x7E ? static_cast<char>(b) : '~';
    }
    return t;
}

constexpr RowTables kTables = make_tables();

// Writes the row's position as 8 hex digits, a colon and a blank.
void format_label(char* p, std::uint32_t index) {
    std::memcpy(p, kTables.hex[index >> 24], 2);
    std::memcpy(p + 2, kTables.hex[(index >> 16) & 0xFF], 2);
    std::memcpy(p + 4, kTables.hex[(index >> 8) & 0xFF], 2);
    std::memcpy(p + 6, kTables.hex[index & 0xFF], 2);
    p[8] = ':';
    p[9] = ' ';
}

// The hex and text columns of the first n bytes of a row.
void format_columns(char* hex, char* text, const std::uint8_t* bytes, std::uint32_t n) {
    for (std::uint32_t col = 0; col < n; ++col) {
        std::memcpy(hex + 3 * col, kTables.hex[bytes[col]], 4);  // the pad falls on the next
        text[col] = kTables.text[bytes[col]];
    }
}

// The text column of eight bytes at once, in plain 64-bit arithmetic that keeps every byte to
// itself: a byte from 0x20 to 0x7E stands for itself, any other shows as "~".
void format_text8(char* text, const std::uint8_t* bytes) {
    constexpr std::uint64_t ones = 0x0101010101010101ull;
    std::uint64_t x;
    std::memcpy(&x, bytes, sizeof x);
    const std::uint64_t low7 = x & 0x7F * ones;
    const std::uint64_t from_blank = (low7 + 0x60 * ones) & 0x80 * ones;  // low 7 bits >= 0x20
    const std::uint64_t from_delete = (low7 + ones) & 0x80 * ones;        // low 7 bits == 0x7F
    const std::uint64_t shown = from_blank & ~from_delete & ~x & 0x80 * ones;
    const std::uint64_t keep = (shown >> 7) * 0xFF;
    const std::uint64_t out = (x & keep) | ('~' * ones & ~keep);
    std::memcpy(text, &out, sizeof out);
}

// The fixed characters of a full row: the bars around the text column and the newline.
void close_row(char* p) {
    p[kTextAt - 1] = '|';
    p[kTextAt + kRowBytes] = '|';
    p[kTextAt + kRowBytes + 1] = '\n';
}

// Full rows, portably: a fixed count of columns, so that the hex loop unrolls. A column's pad
// falls on the next column, and the last one's on the bar that close_row() writes after it.
void full_rows_portable(char* p, std::uint32_t index, const std::uint8_t* bytes,
                        std::uint32_t rows) {
    for (std::uint32_t r = 0; r < rows; ++r, p += kRowWidth, index += kRowBytes) {
        format_label(p, index);
        for (std::uint32_t col = 0; col < kRowBytes; ++col, ++bytes) {
            std::memcpy(p + kLabelWidth + 3 * col, kTables.hex[*bytes], 4);
        }
        format_text8(p + kTextAt, bytes - kRowBytes);
        format_text8(p + kTextAt + 8, bytes - 8);
        close_row(p);
    }
}

#if DATMEND_VECTOR_ROWS
// The same columns with SSSE3's byte shuffles, 16 bytes at a time: the nibbles become digits
// through a 16-entry table, digit pairs are spread three bytes apart with blanks between, and
// the text column is one masked blend. Each output block takes its pairs from the low or the
// high eight bytes' digits; an index with its top bit set gives 0, where a blank goes.
struct Spread {
    alignas(16) std::int8_t low[3][16];
    alignas(16) std::int8_t high[3][16];
    alignas(16) std::int8_t blanks[3][16];
};

constexpr Spread make_spread() {
    Spread s{};
    for (int block = 0; block < 3; ++block) {
        for (int j = 0; j < 16; ++j) {
            const int at = 16 * block + j;
            const int column = at / 3;
            const int digit = 2 * column + at % 3;  // in the 32 digits, pairs in order
            const bool blank = at % 3 == 2;
            s.low[block][j] = static_cast<std::int8_t>(!blank && digit < 16 ? digit : -128);
            s.high[block][j] = static_cast<std::int8_t>(!blank && digit >= 16 ? digit - 16 : -128);
            s.blanks[block][j] = static_cast<std::int8_t>(blank ? ' ' : 0);
        }
    }
    return s;
}

constexpr Spread kSpread = make_spread();

__attribute__((target("ssse3"))) void full_rows_ssse3(char* p, std::uint32_t index,
                                                      const std::uint8_t* bytes,
                                                      std::uint32_t rows) {
    const __m128i nibble = _mm_set1_epi8(0x0F);
    const __m128i digits = _mm_setr_epi8('0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'A', 'B',
                                         'C', 'D', 'E', 'F');
    const __m128i below_blank = _mm_set1_epi8(0x1F);
    const __m128i del = _mm_set1_epi8(0x7F);
    const __m128i tilde = _mm_set1_epi8('~');
    __m128i low[3];
    __m128i high[3];
    __m128i blanks[3];
    for (int block = 0; block < 3; ++block) {
        low[block] = _mm_load_si128(reinterpret_cast<const __m128i*>(kSpread.low[block]));
        high[block] = _mm_load_si128(reinterpret_cast<const __m128i*>(kSpread.high[block]));
        blanks[block] = _mm_load_si128(reinterpret_cast<const __m128i*>(kSpread.blanks[block]));
    }
    for (std::uint32_t r = 0; r < rows; ++r, p += kRowWidth, index += kRowBytes) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + kRowBytes * r));
        const __m128i high_digits =
            _mm_shuffle_epi8(digits, _mm_and_si128(_mm_srli_epi16(v, 4), nibble));
        const __m128i low_digits = _mm_shuffle_epi8(digits, _mm_and_si128(v, nibble));
        const __m128i first8 = _mm_unpacklo_epi8(high_digits, low_digits);
        const __m128i last8 = _mm_unpackhi_epi8(high_digits, low_digits);
        format_label(p, index);
        for (int block = 0; block < 3; ++block) {
            const __m128i out = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(first8, low[block]),
                                                          _mm_shuffle_epi8(last8, high[block])),
                                             blanks[block]);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(p + kLabelWidth + 16 * block), out);
        }
        // Printable: above 0x1F and below 0x7F as signed bytes, so that 0x80 and up are not.
        const __m128i shown = _mm_and_si128(_mm_cmpgt_epi8(v, below_blank), _mm_cmplt_epi8(v, del));
        const __m128i text = _mm_or_si128(_mm_and_si128(shown, v), _mm_andnot_si128(shown, tilde));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + kTextAt), text);
        close_row(p);
    }
}

#else
void full_rows_ssse3(char* p, std::uint32_t index, const std::uint8_t* bytes, std::uint32_t rows) {
    full_rows_portable(p, index, bytes, rows);
}
#endif

// A row with no byte in it: what the columns past the end of a short last row show.
constexpr char kEmptyRow[] =
    "00000000: .. .. .. .. .. .. .. .. .. .. .. .. .. .. .. .. |~~~~~~~~~~~~~~~~|\n";
static_assert(sizeof kEmptyRow - 1 == kRowWidth);

}  // namespace

RowPath fastest_row_path() {
#if DATMEND_VECTOR_ROWS
    if (__builtin_cpu_supports("ssse3")) {
        return RowPath::ssse3;
    }
#endif
    return RowPath::portable;
}

void format_full_rows(char* p, std::uint32_t index, const std::uint8_t* bytes, std::uint32_t rows,
                      RowPath path) {
    switch (path) {
        case RowPath::ssse3:
            full_rows_ssse3(p, index, bytes, rows);
            break;
        case RowPath::portable:
            full_rows_portable(p, index, bytes, rows);
            break;
    }
}

void format_row(char* p, std::uint32_t index, const std::uint8_t* bytes,
                const std::uint8_t* unreadable, std::uint32_t n, RowPath path) {
    char* hex = p + kLabelWidth;
    char* text = p + kTextAt;
    if (n == kRowBytes) {
        format_full_rows(p, index, bytes, 1, path);
    } else {
        std::memcpy(p, kEmptyRow, kRowWidth);
        format_label(p, index);
        format_columns(hex, text, bytes, n);
        hex[3 * n] = '.';  // where the last column's pad fell
    }
    if (unreadable != nullptr) {
        for (std::uint32_t col = 0; col < n; ++col) {
            if (unreadable[col] != 0) {
                std::memcpy(hex + 3 * col, "?? ", 3);
                text[col] = '~';
            }
        }
    }
}

}  // namespace datmend
