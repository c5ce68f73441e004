// Discard dump: rows are formatted by hand into a fixed buffer, and the range is read in pieces,
// so memory stays the same whatever the size of the stretch.
#include "salvage/dump.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

namespace datmend {

namespace {

constexpr std::uint32_t kRowBytes = 16;
// "00000000: " + 16 x "XX " + "|" + 16 text characters + "|\n"
constexpr std::size_t kRowWidth = 10 + 3 * kRowBytes + 1 + kRowBytes + 2;
// A multiple of kRowBytes, so that every piece but the last is made of whole rows.
constexpr std::uint32_t kPieceBytes = 64 * 1024;

constexpr char kHexDigits[] = "0123456789ABCDEF";

char text_char(std::uint8_t b) {
    return b >= 0x20 && b <= 0x7E ? static_cast<char>(b) : '~';
}

// Formats one row of up to 16 bytes labelled with index; returns the end of what it wrote.
// Where unreadable is given, a byte it marks shows as "??" and "~".
char* format_row(char* p, std::uint32_t index, const std::uint8_t* bytes,
                 const std::uint8_t* unreadable, std::uint32_t n) {
    for (int shift = 28; shift >= 0; shift -= 4) {
        *p++ = kHexDigits[(index >> shift) & 0xF];
    }
    *p++ = ':';
    *p++ = ' ';
    char text[kRowBytes];
    for (std::uint32_t col = 0; col < kRowBytes; ++col) {
        if (col < n && unreadable != nullptr && unreadable[col] != 0) {
            *p++ = '?';
            *p++ = '?';
            text[col] = '~';
        } else if (col < n) {
            const std::uint8_t b = bytes[col];
            *p++ = kHexDigits[b >> 4];
            *p++ = kHexDigits[b & 0xF];
            text[col] = text_char(b);
        } else {
            *p++ = '.';
            *p++ = '.';
            text[col] = '~';
        }
        *p++ = ' ';
    }
    *p++ = '|';
    std::memcpy(p, text, kRowBytes);
    p += kRowBytes;
    *p++ = '|';
    *p++ = '\n';
    return p;
}

// Marks in flags the bytes of the n at offset that the damaged file could not read.
void mark_unreadable(const DamagedFile& file, std::uint32_t offset, std::uint32_t n,
                     std::vector<std::uint8_t>& flags) {
    std::fill(flags.begin(), flags.end(), 0);
    const std::uint64_t end = std::uint64_t{offset} + n;
    for (auto bad = file.next_unreadable(offset); bad.first < end && bad.first < bad.end;
         bad = file.next_unreadable(bad.end)) {
        const std::uint32_t from = std::max(bad.first, offset) - offset;
        const auto to = static_cast<std::uint32_t>(std::min<std::uint64_t>(bad.end, end) - offset);
        std::fill(flags.begin() + from, flags.begin() + to, 1);
    }
}

}  // namespace

void dump_discarded(SalvageState& state, std::uint32_t first, std::uint32_t last) {
    ++state.error_count;
    const std::uint32_t count = last - first + 1;
    state.dumped_bytes += count;
    state.report.print("\n*** %d Bytes starting at offset %d not written to new file ***\n",
                       static_cast<int>(count), static_cast<int>(first));

    std::vector<std::uint8_t> piece(std::min(count, kPieceBytes));
    std::vector<std::uint8_t> unreadable(piece.size());
    std::vector<char> rows((piece.size() + kRowBytes - 1) / kRowBytes * kRowWidth);
    for (std::uint32_t done = 0; done < count;) {
        const std::uint32_t n = std::min(count - done, kPieceBytes);
        const auto got = state.damaged.view(first + done, n);
        if (!got.empty()) {
            std::memcpy(piece.data(), got.data(), got.size());
        }
        std::fill(piece.begin() + static_cast<std::ptrdiff_t>(got.size()), piece.end(), 0);
        const bool readable = state.damaged.readable(first + done, n);
        if (!readable) {
            mark_unreadable(state.damaged, first + done, n, unreadable);
        }

        char* p = rows.data();
        for (std::uint32_t i = 0; i < n; i += kRowBytes) {
            p = format_row(p, done + i, piece.data() + i, readable ? nullptr : &unreadable[i],
                           std::min(kRowBytes, n - i));
        }
        state.report.put(rows.data(), static_cast<std::size_t>(p - rows.data()));
        done += n;
    }
}

}  // namespace datmend
