// Discard dump: rows are formatted straight into the report's buffer, and the range is taken
// from the damaged file's window in pieces, so memory stays the same whatever the size of the
// stretch.
#include "report/dump.hpp"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "io/text.hpp"
#include "report/dump_row.hpp"

namespace datmend {

namespace {

constexpr std::uint32_t kPieceBytes = 64 * 1024;
static_assert(kPieceBytes <= DamagedFile::kWindowSize / 2);
// Rows formatted in one go: their text fits in the report's buffer several times over.
constexpr std::uint32_t kBatchRows = 512;
static_assert(kBatchRows * kRowWidth <= kReportBufferSize);

// Formatted in place, as it is printed for every stretch (2^31 up shows negative).
void print_dump_header(Writer& report, std::uint32_t count, std::uint32_t first) {
    constexpr std::size_t kLongest = 5 + 26 + 29 + 2 * kDecimalWidth;
    char* const start = report.reserve(kLongest);
    char* w = format_text(start, "\n*** ");
    w = format_decimal(w, static_cast<std::int32_t>(count));
    w = format_text(w, " Bytes starting at offset ");
    w = format_decimal(w, static_cast<std::int32_t>(first));
    w = format_text(w, " not written to new file ***\n");
    report.commit(static_cast<std::size_t>(w - start));
}

// Rows of n readable bytes labelled from index on: whole ones in batches, as many as the
// report's buffer takes, then a last short one.
void print_readable_rows(Writer& report, std::uint32_t index, const std::uint8_t* bytes,
                         std::uint32_t n, RowPath path) {
    std::uint32_t i = 0;
    for (std::uint32_t rows; (rows = std::min((n - i) / kRowBytes, kBatchRows)) != 0;) {
        format_full_rows(report.reserve(rows * kRowWidth), index + i, bytes + i, rows, path);
        report.commit(rows * kRowWidth);
        i += rows * kRowBytes;
    }
    if (i < n) {
        format_row(report.reserve(kRowWidth), index + i, bytes + i, nullptr, n - i, path);
        report.commit(kRowWidth);
    }
}

// Rows of the n bytes at offset, labelled from index on, one at a time, a byte found unreadable
// as "??".
void print_rows_flagging_unreadable(Writer& report, const DamagedFile& file, std::uint32_t offset,
                                    std::uint32_t index, const std::uint8_t* bytes, std::uint32_t n,
                                    RowPath path) {
    for (std::uint32_t i = 0; i < n; i += kRowBytes) {
        const std::uint32_t row = std::min(kRowBytes, n - i);
        std::uint8_t unreadable[kRowBytes];
        file.flag_unreadable(offset + i, row, unreadable);
        format_row(report.reserve(kRowWidth), index + i, bytes + i, unreadable, row, path);
        report.commit(kRowWidth);
    }
}

// Rows of the n bytes at offset, labelled from index on, each after the row before it (prev, its
// bytes and what of them was unreadable, kept across pieces) but those that repeat it: the first
// of such a run as "*", the rest not at all, as hexdump -C shows them. The stretch's last row,
// which ends at count, is always printed, so that its label shows where the stretch ends.
struct Previous {
    bool any = false;  // a row came before
    bool starred = false;
    std::uint8_t bytes[kRowBytes] = {};
    std::uint8_t unreadable[kRowBytes] = {};
};

void print_squeezed_rows(Writer& report, const DamagedFile& file, std::uint32_t offset,
                         std::uint32_t index, const std::uint8_t* bytes, std::uint32_t n,
                         std::uint32_t count, Previous& prev, RowPath path) {
    for (std::uint32_t i = 0; i < n; i += kRowBytes) {
        const std::uint32_t row = std::min(kRowBytes, n - i);
        std::uint8_t unreadable[kRowBytes];
        file.flag_unreadable(offset + i, row, unreadable);
        const bool last = index + i + row == count;
        const bool repeats = prev.any && row == kRowBytes &&
                             std::memcmp(prev.bytes, bytes + i, kRowBytes) == 0 &&
                             std::memcmp(prev.unreadable, unreadable, kRowBytes) == 0;
        if (repeats && !last) {
            if (!prev.starred) {
                report.write("*\n");
                prev.starred = true;
            }
            continue;
        }
        format_row(report.reserve(kRowWidth), index + i, bytes + i, unreadable, row, path);
        report.commit(kRowWidth);
        prev.any = true;
        prev.starred = false;
        std::memcpy(prev.bytes, bytes + i, row);
        std::memcpy(prev.unreadable, unreadable, row);
    }
}

}  // namespace

void print_labelled_row(Writer& report, std::uint32_t label, const std::uint8_t* bytes,
                        std::uint32_t n) {
    format_row(report.reserve(kRowWidth), label, bytes, nullptr, n, fastest_row_path());
    report.commit(kRowWidth);
}

void print_dump(Writer& report, DamagedFile& file, std::uint32_t first, std::uint32_t last,
                DumpRows rows) {
    const std::uint32_t count = last - first + 1;
    if (report.failed()) {
        return;  // nothing more of the report can be written: no need to format it
    }
    print_dump_header(report, count, first);
    const RowPath path = fastest_row_path();
    Previous prev;
    for (std::uint32_t done = 0; rows != DumpRows::none && done < count;) {
        const std::uint32_t n = std::min(count - done, kPieceBytes);
        const std::uint32_t offset = first + done;
        const auto bytes = file.view(offset, n);
        assert(bytes.size() == n);  // the stretch lies inside the file
        if (rows == DumpRows::squeezed) {
            print_squeezed_rows(report, file, offset, done, bytes.data(), n, count, prev, path);
        } else if (file.readable(offset, n)) {
            print_readable_rows(report, done, bytes.data(), n, path);
        } else {
            print_rows_flagging_unreadable(report, file, offset, done, bytes.data(), n, path);
        }
        done += n;
    }
}

}  // namespace datmend
