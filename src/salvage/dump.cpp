// Discard dump: rows are formatted straight into the report's buffer, and the range is taken
// from the damaged file's window in pieces, so memory stays the same whatever the size of the
// stretch.
#include "salvage/dump.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "salvage/dump_row.hpp"

namespace datmend {

namespace {

constexpr std::uint32_t kPieceBytes = 64 * 1024;
static_assert(kPieceBytes <= DamagedFile::kWindowSize / 2);
// Rows formatted in one go: their text fits in the report's buffer several times over.
constexpr std::uint32_t kBatchRows = 512;
static_assert(kBatchRows * kRowWidth <= Report::kBufferSize);

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

// Formatted in place, as it is printed for every stretch (2^31 up shows negative).
void print_dump_header(Report& report, std::uint32_t count, std::uint32_t first) {
    constexpr std::size_t kLongest = 5 + 26 + 29 + 2 * kDecimalWidth;
    char* const start = report.reserve(kLongest);
    char* w = format_text(start, "\n*** ");
    w = format_decimal(w, static_cast<std::int32_t>(count));
    w = format_text(w, " Bytes starting at offset ");
    w = format_decimal(w, static_cast<std::int32_t>(first));
    w = format_text(w, " not written to new file ***\n");
    report.commit(static_cast<std::size_t>(w - start));
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
    const RowPath path = fastest_row_path();

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
        std::uint32_t i = 0;
        if (flags == nullptr) {  // whole rows in batches, as many as the report's buffer takes
            for (std::uint32_t rows; (rows = std::min((n - i) / kRowBytes, kBatchRows)) != 0;) {
                format_full_rows(report.reserve(rows * kRowWidth), done + i, bytes + i, rows, path);
                report.commit(rows * kRowWidth);
                i += rows * kRowBytes;
            }
        }
        for (; i < n; i += kRowBytes) {
            format_row(report.reserve(kRowWidth), done + i, bytes + i,
                       flags == nullptr ? nullptr : flags + i, std::min(kRowBytes, n - i), path);
            report.commit(kRowWidth);
        }
        done += n;
    }
}

}  // namespace datmend
