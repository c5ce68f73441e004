// The resynchronisation scan, in-process: where it lands.
#include <gtest/gtest.h>

#include <random>

#include "inprocess.hpp"
#include "salvage/scan.hpp"
#include "salvage/sift.hpp"

using namespace testkit;

namespace {

std::optional<std::uint32_t> scan(Harness& h, std::uint32_t start) {
    return datmend::find_next_record(h.damaged, h.rules, start);
}

TEST(Scan, FindsNothingNearTheEndOrWithoutAPlausibleRecord) {
    Harness near_end(Bytes(600, 0));
    EXPECT_EQ(scan(near_end, 584), std::nullopt);
    Harness none(Bytes(512 + 300, 0xAB));
    EXPECT_EQ(scan(none, 512), std::nullopt);
}

// Candidates are sifted sixteen at a time: a record is found in whatever lane it falls, after
// candidates that pass the sift but not the trailer's rule, up to the file's last few bytes.
TEST(Scan, FindsTheRecordInEveryLaneOfTheSift) {
    for (std::uint32_t k = 0; k < 40; ++k) {
        SCOPED_TRACE(k);
        Bytes file(513 + k, 0x01);  // every offset here has a known type and a length
        append_record(file, make_record(0, Bytes(5, 'G')));
        append_record(file, make_record(1, Bytes(1, 'H')));  // the last record: 17 bytes
        Harness h(file);
        EXPECT_EQ(scan(h, 512), 513u + k);
        EXPECT_EQ(scan(h, 513 + k), 513u + k + 21);
    }
}

// Both paths of the sift against the rules written out, for every byte value as a type and as
// either byte of a length, in every lane, among neighbours drawn from the values at the edges.
TEST(Scan, BothSiftPathsPassOnlyAKnownTypeWithALength) {
    const std::uint8_t edges[] = {0, 1, 3, 4, 0x7F, 0x80, 0xFC, 0xFF};
    std::mt19937 rng(15);
    for (int round = 0; round < 3000; ++round) {
        std::uint8_t p[19];
        for (std::uint8_t& b : p) {
            b = edges[rng() % sizeof edges];
        }
        const auto value = static_cast<std::uint8_t>(round % 256);
        p[(round / 256) % 19] = value;
        std::uint32_t rules = 0;
        for (std::uint32_t k = 0; k < 16; ++k) {
            if (p[k] <= 3 && (p[k + 2] | p[k + 3]) != 0) {
                rules |= 1u << k;
            }
        }
        ASSERT_EQ(datmend::sift16_portable(p), rules) << round;
        ASSERT_EQ(datmend::sift16(p), rules) << round;
    }
}

TEST(Scan, FixedLengthAcceptsOverheadOfAnyLengthButNotActiveOfTheWrongOne) {
    Bytes wrong(520, 0xEE);
    append_record(wrong,
                  make_record(0, Bytes(30, 'a')));  // at 520: wrong length for record_length 8
    append_record(wrong, make_record(2, Bytes(30, 'o')));  // at 566: overhead, any length will do
    Harness h(wrong, 1, 8);
    EXPECT_EQ(scan(h, 512), 566u);

    Harness variable(wrong, 0, 8);
    EXPECT_EQ(scan(variable, 512), 520u);
}

TEST(Scan, SkipsUnknownTypesAndEmptyRecords) {
    Bytes file(513, 0xEE);
    append_record(file, make_record(4, Bytes(6, 'x')));  // at 513, trailer matches
    append_record(file, make_record(1, Bytes(0, 'x')));  // at 535, empty
    append_record(file, make_record(3, Bytes(2, 'y')));  // at 551
    Harness h(file);
    EXPECT_EQ(scan(h, 512), 551u);
}

TEST(Scan, AnUnconfirmedCandidateStandsWhenNothingInsideItIsConfirmed) {
    Bytes inner;
    append_record(inner, make_record(0, Bytes(3, 'i')));  // a record-shaped piece of data
    Record outer;
    outer.data = Bytes(10, 'o');
    outer.data.insert(outer.data.end(), inner.begin(), inner.end());
    Bytes file(512, 0xEE);
    file.push_back(0xFF);
    append_record(file, outer);  // at 513
    Harness h(file);
    EXPECT_EQ(scan(h, 512), 513u);
    EXPECT_EQ(scan(h, 513), 513u + 12 + 10);
}

}  // namespace
