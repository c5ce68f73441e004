// Discard dump: rows are formatted by hand, from tables, straight into the report's buffer, and
// the range is taken from the damaged file's window in pieces, so memory stays the same
// whatever the size of the stretch.
#include "salvage/dump.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

namespace datmend {

namespace {

constexpr std::uint32_t kRowBytes = 16;
// "00000000: " + 16 x "XX " + "|" + 16 text characters + "|\n"
constexpr std::size_t kLabelWidth = 10;
constexpr std::size_t kTextAt = kLabelWidth + 3 * kRowBytes + 1;
constexpr std::size_t kRowWidth = kTextAt + kRowBytes + 2;
constexpr std::uint32_t kPieceBytes = 64 * 1024;

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

// A full row's columns: a fixed count, so that the hex loop unrolls.
void format_full_columns(char* hex, char* text, const std::uint8_t* bytes) {
    for (std::uint32_t col = 0; col < kRowBytes; ++col) {
        std::memcpy(hex + 3 * col, kTables.hex[bytes[col]], 4);  // the pad falls on the next
    }
    format_text8(text, bytes);
    format_text8(text + 8, bytes + 8);
}

// A row with no byte in it: what the columns past the end of a short last row show.
constexpr char kEmptyRow[] =
    "00000000: .. .. .. .. .. .. .. .. .. .. .. .. .. .. .. .. |~~~~~~~~~~~~~~~~|\n";
static_assert(sizeof kEmptyRow - 1 == kRowWidth);

// Formats one row of up to 16 bytes labelled with index at p, kRowWidth bytes. Where unreadable
// is given, a byte it marks shows as "??" and "~"; columns past n show as ".." and "~".
void format_row(char* p, std::uint32_t index, const std::uint8_t* bytes,
                const std::uint8_t* unreadable, std::uint32_t n) {
    if (n < kRowBytes) {
        std::memcpy(p, kEmptyRow, kRowWidth);
    } else {
        p[kTextAt + kRowBytes] = '|';
        p[kTextAt + kRowBytes + 1] = '\n';
    }
    format_label(p, index);
    char* hex = p + kLabelWidth;
    char* text = p + kTextAt;
    if (n == kRowBytes) {
        format_full_columns(hex, text, bytes);
    } else {
        format_columns(hex, text, bytes, n);
    }
    hex[3 * n] = n < kRowBytes ? '.' : '|';  // where the last column's pad fell
    if (unreadable != nullptr) {
        for (std::uint32_t col = 0; col < n; ++col) {
            if (unreadable[col] != 0) {
                std::memcpy(hex + 3 * col, "?? ", 3);
                text[col] = '~';
            }
        }
    }
}

// Marks in flags the bytes of the n at offset that the damaged file could not read.
void mark_unreadable(const DamagedFile& file, std::uint32_t offset, std::uint32_t n,
                     std::vector<std::uint8_t>& flags) {
    flags.assign(n, 0);
    const std::uint64_t end = std::uint64_t{offset} + n;
    for (auto bad = file.next_unreadable(offset); bad.first < end && bad.first < bad.end;
         bad = file.next_unreadable(bad.end)) {
        const std::uint32_t from = std::max(bad.first, offset) - offset;
        const auto to = static_cast<std::uint32_t>(std::min<std::uint64_t>(bad.end, end) - offset);
        std::fill(flags.begin() + from, flags.begin() + to, 1);
    }
}

void print_dump_header(Report& report, std::uint32_t count, std::uint32_t first) {
    report.put("\n*** ");
    report.put_decimal(static_cast<std::int32_t>(count));
    report.put(" Bytes starting at offset ");
    report.put_decimal(static_cast<std::int32_t>(first));
    report.put(" not written to new file ***\n");
}

}  // namespace

void dump_discarded(SalvageState& state, std::uint32_t first, std::uint32_t last) {
    ++state.error_count;
    const std::uint32_t count = last - first + 1;
    state.dumped_bytes += count;
    Report& report = state.report;
    if (report.failed()) {
        return;  // nothing more of the report can be written: no need to format it
    }
    print_dump_header(report, count, first);

    std::vector<std::uint8_t> padded;      // a piece the file cannot deliver whole
    std::vector<std::uint8_t> unreadable;  // flags of a piece with unreadable bytes
    for (std::uint32_t done = 0; done < count;) {
        const std::uint32_t n = std::min(count - done, kPieceBytes);
        const std::uint32_t offset = first + done;
        const std::uint8_t* bytes = nullptr;
        if (const auto got = state.damaged.view(offset, n); got.size() == n) {
            bytes = got.data();
        } else {
            padded.assign(got.begin(), got.end());
            padded.resize(n, 0);
            bytes = padded.data();
        }
        const std::uint8_t* flags = nullptr;
        if (!state.damaged.readable(offset, n)) {
            mark_unreadable(state.damaged, offset, n, unreadable);
            flags = unreadable.data();
        }
        for (std::uint32_t i = 0; i < n; i += kRowBytes) {
            format_row(report.reserve(kRowWidth), done + i, bytes + i,
                       flags == nullptr ? nullptr : flags + i, std::min(kRowBytes, n - i));
            report.commit(kRowWidth);
        }
        done += n;
    }
}

}  // namespace datmend
