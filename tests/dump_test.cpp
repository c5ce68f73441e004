// The discard dump, in-process: row layout, text column, and the piecewise path; and
// the report's hand-made decimals, which every offset and count in it goes through.
#include <gtest/gtest.h>

#include <random>

#include "inprocess.hpp"
#include "io/text.hpp"
#include "report/dump.hpp"
#include "report/dump_row.hpp"

using namespace testkit;

namespace {

Bytes counting_bytes(std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) {
        b[i] = static_cast<std::uint8_t>(i * 13 + 1);
    }
    return b;
}

TEST(Dump, ShortRangeIsOneRowPaddedWithDots) {
    Bytes file(603, 0);
    file[600] = 0x41;
    file[601] = 0x0A;
    file[602] = 0x7D;
    Harness h(file);
    datmend::print_dump(h.report, h.damaged, 600, 602);
    EXPECT_EQ(h.output(),
              "\n*** 3 Bytes starting at offset 600 not written to new file ***\n"
              "00000000: 41 0A 7D .. .. .. .. .. .. .. .. .. .. .. .. .. |A~}~~~~~~~~~~~~~|\n");
}

TEST(Dump, TextColumnShowsOnlyPrintableAscii) {
    Harness h(Bytes{0x00, 0x1F, 0x20, 0x7E, 0x7F, 0xFF, 'a', 'Z'});
    datmend::print_dump(h.report, h.damaged, 0, 7);
    EXPECT_EQ(h.output(),
              "\n*** 8 Bytes starting at offset 0 not written to new file ***\n"
              "00000000: 00 1F 20 7E 7F FF 61 5A .. .. .. .. .. .. .. .. |~~ ~~~aZ~~~~~~~~|\n");
}

TEST(Dump, RowsCountFromTheStartOfTheRangeAndPadTheLastRow) {
    const Bytes file = counting_bytes(100);
    for (std::uint32_t n : {1u, 16u, 20u, 33u}) {
        Harness h(file);
        datmend::print_dump(h.report, h.damaged, 50, 50 + n - 1);
        EXPECT_EQ(h.output(), dump_text(file, 50, 50 + n - 1)) << n;
    }
}

TEST(Dump, LargeRangeIsTheSameRowByRow) {
    std::mt19937 rng(7);
    Bytes file(3 * 1024 * 1024 + 123);
    for (auto& b : file) {
        b = static_cast<std::uint8_t>(rng());
    }
    Harness h(file);
    const auto last = static_cast<std::uint32_t>(file.size() - 2);
    datmend::print_dump(h.report, h.damaged, 5, last);
    EXPECT_TRUE(h.output() == dump_text(file, 5, last));
}

// Every path of full rows this processor runs, every byte value in every column, against the
// oracle's rows: one at a time, in a batch, and in a batch that starts at another row.
TEST(Dump, EveryPathOfRowsAgreesByteForByte) {
    Bytes bytes(256 * 16);
    std::string expected;
    for (std::uint32_t r = 0; r < 256; ++r) {
        for (std::uint32_t col = 0; col < 16; ++col) {
            bytes[r * 16 + col] = static_cast<std::uint8_t>(r + col * 17);
        }
        expected += dump_row(&bytes[r * 16], nullptr, 16, r * 16);
    }
    using datmend::RowPath;
    std::string untested;
    for (const RowPath path : {RowPath::portable, RowPath::ssse3}) {
        if (path > datmend::fastest_row_path()) {
            untested = "SSSE3";
            continue;
        }
        SCOPED_TRACE(static_cast<int>(path));
        std::string batch(expected.size(), '\0');
        datmend::format_full_rows(batch.data(), 0, bytes.data(), 256, path);
        EXPECT_EQ(batch, expected);
        std::string odd(expected.size() - datmend::kRowWidth, '\0');
        datmend::format_full_rows(odd.data(), 16, bytes.data() + 16, 255, path);
        EXPECT_EQ(odd, expected.substr(datmend::kRowWidth));
        std::string single;
        for (std::uint32_t r = 0; r < 256; ++r) {
            char row[datmend::kRowWidth];
            datmend::format_row(row, r * 16, &bytes[r * 16], nullptr, 16, path);
            single.append(row, sizeof row);
        }
        EXPECT_EQ(single, expected);
    }
    if (!untested.empty()) {
        GTEST_SKIP() << "this processor cannot run the " << untested << " rows: not tested";
    }
}

TEST(Report, DecimalsAreWhatPrintfWrites) {
    std::vector<std::int32_t> values{0, 555, 65535, 2147483647, -2004318071, INT32_MIN};
    for (std::int32_t power = 1; power <= 1000000000; power *= 10) {  // either side of each count
        for (const std::int32_t v : {power - 1, power, power + 1}) {
            values.insert(values.end(), {v, -v});
        }
        if (power == 1000000000) {
            break;
        }
    }
    std::string written;
    std::string expected;
    for (const std::int32_t v : values) {
        char text[datmend::kDecimalWidth];
        written.append(text, datmend::format_decimal(text, v));
        written += " ";
        expected += std::to_string(v) + " ";
    }
    EXPECT_EQ(written, expected);
}

}  // namespace
